#include "util/win32/Event.h"

#include "util/Exceptions.h"
#include "util/win32/WaitFunctions.h"

namespace ZintarUtil {

using Exceptions::ExceptionBase;
using Exceptions::ExceptionWindows;

namespace {

// NtQueryEvent's EventBasicInformation, declared here: mingw's headers lack it.
constexpr int kEventBasicInformation = 0;
constexpr LONG kNotificationEvent = 0;  // EVENT_TYPE of a manual-reset event
struct EventBasicInformation {
    LONG eventType;
    LONG eventState;
};
using NtQueryEventFunction = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);

NtQueryEventFunction NtQueryEventEntry()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const FARPROC entry = ntdll != nullptr ? GetProcAddress(ntdll, "NtQueryEvent") : nullptr;
    return reinterpret_cast<NtQueryEventFunction>(reinterpret_cast<void*>(entry));
}

const char* ResetTypeName(bool manualReset)
{
    return manualReset ? "a manual-reset event" : "an auto-reset event";
}

}  // namespace

std::optional<bool> IsManualResetEvent(HANDLE event)
{
    static const NtQueryEventFunction query = NtQueryEventEntry();
    EventBasicInformation information{};
    if (query == nullptr || query(event, kEventBasicInformation, &information, sizeof information, nullptr) < 0)
        return std::nullopt;
    return information.eventType == kNotificationEvent;
}

UniqueHandle CreateSharedEvent(SECURITY_ATTRIBUTES* securityAttributes, bool manualReset, bool initialState,
                               const std::string& name)
{
    const char* namePointer = name.empty() ? nullptr : name.c_str();
    UniqueHandle event;
    try {
        event.Reset(CreateEventOrThrow(securityAttributes, manualReset, initialState, namePointer));
    } catch (const ExceptionWindows& e) {
        // CreateEvent's answer to a name that stands for a semaphore, a mutex, a mapping, ...
        if (namePointer == nullptr || e.ErrorCode() != ERROR_INVALID_HANDLE)
            throw;
        throw ExceptionBase("The object " + name + " is not an event but an object of another kind, where " +
                                ResetTypeName(manualReset) + " is needed: another program created it",
                            &e);
    }
    if (namePointer == nullptr || GetLastError() != ERROR_ALREADY_EXISTS)
        return event;
    // Its state is the user's business (each user of a shared event repairs it); its type is not.
    const std::optional<bool> foundManualReset = IsManualResetEvent(event.Get());
    if (!foundManualReset || *foundManualReset == manualReset)
        return event;
    throw ExceptionBase("The object " + name + " is " + ResetTypeName(*foundManualReset) + ", where " +
                        ResetTypeName(manualReset) + " is needed: another program created it");
}

UniqueHandle OpenExistingEvent(const std::string& name, OpenRights rights)
{
    UniqueHandle event(OpenEventA(rights.access, FALSE, name.c_str()));
    if (!event)
        throw ExceptionWindows("OpenEvent() failed for " + name);
    return event;
}

Event::Event(const std::string& name, SECURITY_ATTRIBUTES* securityAttributes)
{
    try {
        handle = CreateSharedEvent(securityAttributes, true, true, name);
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to create Event object", &e);
    }
}

Event::Event(const std::string& name, OpenRights rights)
{
    try {
        handle = OpenExistingEvent(name, rights);
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to open Event object", &e);
    }
}

Event::~Event() noexcept(false)
{
    try {
        Close();
    } catch (...) {
        // The member's own close would only try the broken handle again, unreported.
        handle.Release();
        throw;
    }
}

void Event::Close()
{
    if (handle.Close())
        return;
    const ExceptionWindows cause("CloseHandle() failed:");
    throw ExceptionBase("Failed to destroy Event object", &cause);
}

bool Event::Wait(std::uint32_t milliseconds)
{
    try {
        return WaitForSingleObjectOrThrow(handle.Get(), milliseconds);
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to Wait for Event object", &e);
    }
}

void Event::SetSignal()
{
    try {
        SetEventOrThrow(handle.Get());
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to SetSignal for Event object", &e);
    }
}

void Event::RemoveSignal()
{
    try {
        ResetEventOrThrow(handle.Get());
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to RemoveSignal for Event object", &e);
    }
}

}  // namespace ZintarUtil
