// A manual-reset event, created signalled; named ones are shared between processes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

// The rights to open an existing named object with, and no more.
struct OpenRights {
    std::uint32_t access;
};

class Event {
public:
    // An existing event of the same name is opened with its current state. A name that another
    // program took first for an auto-reset event, or for an object of another kind, is refused
    // with a text that names it: waits on such an object would not mean what they should.
    Event(const std::string& name, SECURITY_ATTRIBUTES* securityAttributes);
    // Opens the existing event `name` with `rights` only, as a client of the service does.
    Event(const std::string& name, OpenRights rights);
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

    HANDLE Handle() const { return handle.Get(); }

private:
    UniqueHandle handle;
};

// An unnamed event of this process, not signalled: a stop or wake-up request between its threads.
// A failure is thrown as ExceptionBase `failureText` with the cause, or as it came when the text
// is empty.
std::unique_ptr<Event> NewUnsignalledEvent(const std::string& failureText = "");

// Whether `event` resets by hand, asked of the kernel (NtQueryEvent, which the SDK's headers leave
// out); the handle needs EVENT_QUERY_STATE. Nothing when the kernel cannot say.
std::optional<bool> IsManualResetEvent(HANDLE event);

// CreateEvent for an event shared under `name`: an existing one is opened in its current state
// when it resets as `manualReset` asks. One that resets the other way, an object of another kind
// under the name, one owned by an account other than LocalSystem, the Administrators and this
// program's own (ForeignOwnerOf), and one whose access list refuses this program are refused
// (ExceptionBase "The object <name> ...: another program created it"). An unnamed event is
// simply created.
UniqueHandle CreateSharedEvent(SECURITY_ATTRIBUTES* securityAttributes, bool manualReset, bool initialState,
                               const std::string& name);

// The texts for a named object found owned by `owner`, an account of another (ForeignOwnerOf),
// and for one whose access list refuses this program.
std::string ForeignOwnerText(const std::string& name, const std::string& owner);
std::string RefusingObjectText(const std::string& name);
// Whether an object exists under `name`, asked through `open` (OpenEventA, OpenFileMappingA, ...):
// it does when it opens, and when it is there but refuses the opener.
bool NamedObjectExists(const std::string& name, HANDLE(WINAPI* open)(DWORD, BOOL, LPCSTR));

// OpenEvent with `rights` only; throws ExceptionWindows naming the event.
UniqueHandle OpenExistingEvent(const std::string& name, OpenRights rights);

}  // namespace ZintarUtil
