#include "util/win32/Event.h"

#include "util/Exceptions.h"
#include "util/win32/SecurityDescriptors.h"
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
        if (namePointer == nullptr)
            throw;
        // CreateEvent's answer to a name that stands for a semaphore, a mutex, a mapping, ...
        if (e.ErrorCode() == ERROR_INVALID_HANDLE)
            throw ExceptionBase("The object " + name + " is not an event but an object of another kind, where " +
                                    ResetTypeName(manualReset) + " is needed: another program created it",
                                &e);
        if (e.ErrorCode() == ERROR_ACCESS_DENIED && NamedObjectExists(name, OpenEventA))
            throw ExceptionBase(RefusingObjectText(name), &e);
        throw;
    }
    if (namePointer == nullptr || GetLastError() != ERROR_ALREADY_EXISTS)
        return event;
    // Its state is the user's business (each user of a shared event repairs it); its type is not.
    const std::optional<bool> foundManualReset = IsManualResetEvent(event.Get());
    if (foundManualReset && *foundManualReset != manualReset)
        throw ExceptionBase("The object " + name + " is " + ResetTypeName(*foundManualReset) + ", where " +
                            ResetTypeName(manualReset) + " is needed: another program created it");
    // Nor is its owner: an owner may change who opens it, and the service's clients never create
    // these objects, so one that another account made first is a squatter.
    if (const std::optional<std::string> owner = ForeignOwnerOf(event.Get()))
        throw ExceptionBase(ForeignOwnerText(name, *owner));
    return event;
}

std::string ForeignOwnerText(const std::string& name, const std::string& owner)
{
    return "The object " + name + " belongs to " + owner +
           ", an account that is neither LocalSystem, the Administrators nor this program's own: another program "
           "created it";
}

std::string RefusingObjectText(const std::string& name)
{
    return "The object " + name + " exists with an access list that refuses this program: another program created it";
}

bool NamedObjectExists(const std::string& name, HANDLE(WINAPI* open)(DWORD, BOOL, LPCSTR))
{
    const HANDLE object = open(SYNCHRONIZE, FALSE, name.c_str());
    const DWORD error = GetLastError();
    if (object != nullptr)
        CloseHandle(object);
    return object != nullptr || error == ERROR_ACCESS_DENIED;
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

std::unique_ptr<Event> NewUnsignalledEvent(const std::string& failureText)
{
    try {
        auto event = std::make_unique<Event>("", nullptr);
        event->RemoveSignal();
        return event;
    } catch (const ExceptionBase& e) {
        if (failureText.empty())
            throw;
        throw ExceptionBase(failureText, &e);
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
