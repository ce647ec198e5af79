// The base of every thread of the program. A derived class supplies Run; the base starts the
// Windows thread, runs Run inside a frame that logs whatever ends it, carries the stop request
// that Run polls, and can delete the object when the thread ends.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "util/Timeout.h"
#include "util/win32/Mutex.h"
#include "util/win32/UniqueResource.h"

namespace ZintarUtil::Threading {

class Thread {
public:
    // `name` names the thread for debuggers ("Timer Driver Poll", "MessageFileMonitor", ...).
    explicit Thread(const std::string& name);
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // A thread still running is ended by force, as a last resort: derived classes stop and join
    // their thread in their own destructor.
    virtual ~Thread() noexcept(false);

    // Clears the stop request and creates the thread, which runs at once. Throws when the previous
    // run has not ended.
    virtual void Start();
    // Sets the stop request; does not wait.
    virtual void Stop();
    // True once the thread has ended (or when none runs), false when the budget ran out first.
    virtual bool Join(Timeout& timeout);
    virtual void Pause();
    virtual void Resume();

    bool StopRequested();
    // The object deletes itself when Run returns; it must live on the heap and must not be
    // touched by its creator after Start.
    void SetAutoDelete() { autoDelete = true; }

protected:
    virtual std::uint32_t Run() = 0;

private:
    static DWORD WINAPI ThreadStart(LPVOID parameter);
    // Closes and forgets the handle under `lock`; true when the object is to delete itself.
    bool CleanUpAfterRun();

    Mutex lock;
    bool autoDelete = false;
    UniqueHandle threadHandle;
    Mutex stopLock;
    bool stopRequested = true;
    volatile DWORD threadId = 0;
    std::string name;
};

}  // namespace ZintarUtil::Threading
