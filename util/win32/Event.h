// A manual-reset event, created signalled; named ones are shared between processes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace ZintarUtil {

class Event {
public:
    // An existing event of the same name is opened with its current state.
    Event(const std::string& name, SECURITY_ATTRIBUTES* securityAttributes);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    // Throws "Failed to destroy Event object" when the handle cannot be closed.
    ~Event() noexcept(false);

    // Closes the handle now; throws "Failed to destroy Event object" and keeps the handle when it
    // cannot be closed. The destructor then has nothing left to close.
    void Close();

    // True when signalled, false when the time ran out.
    bool Wait(std::uint32_t milliseconds);
    void SetSignal();
    void RemoveSignal();

    HANDLE Handle() const { return handle; }

private:
    HANDLE handle = nullptr;
};

}  // namespace ZintarUtil
