// The program's lock: an auto-reset event that is signalled while the lock is free. It has no
// owning thread, so any thread may give it back, a thread that takes it twice blocks itself, and
// a holder that dies does not free it (the log store forces such a lock after a time budget).
// Named, it is shared between processes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "util/Timeout.h"
#include "util/win32/Event.h"
#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

class Mutex {
public:
    Mutex();
    // An existing object of that name is opened, in its current state. A name that another
    // program took first for a manual-reset event, or for an object of another kind (a kernel
    // mutex among them), is refused with a text that names it: it would not exclude anybody.
    Mutex(const std::string& name, SECURITY_ATTRIBUTES* securityAttributes);
    // Opens the existing lock `name` with `rights` only, as a client of the service does.
    Mutex(const std::string& name, OpenRights rights);
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    ~Mutex();

    // True when the lock was taken, false when the time ran out.
    bool Wait(std::uint32_t milliseconds);
    void Release();

    HANDLE Handle() const { return handle.Get(); }

    // Scoped ownership. A wait that runs out of time still makes the object count itself owner,
    // and its release then signals the lock: callers with a bounded budget check Expired() on
    // their Timeout and treat an expired budget as a holder that is gone.
    class Access {
    public:
        Access(Mutex& mutex, Timeout& timeout);
        Access(Mutex* mutex, Timeout& timeout);
        Access(const Access&) = delete;
        Access& operator=(const Access&) = delete;
        ~Access();

        // True when the lock was taken, false when the time ran out (owned all the same).
        bool Acquire(Timeout& timeout);
        bool Release();

        bool Owned() const { return owned; }

    private:
        Mutex* mutex;
        bool owned = false;
    };

private:
    UniqueHandle handle;
};

}  // namespace ZintarUtil
