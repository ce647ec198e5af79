#include "tools/zintar-forward/win32/ForwardService.h"

#include <aclapi.h>
#include <sddl.h>

#include "tools/zintar-forward/win32/ForwardPlatform.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/Timeout.h"
#include "util/ZintarNames.h"
#include "util/win32/ForwardSettingsStore.h"
#include "util/win32/Thread.h"
#include "util/win32/UniqueResource.h"

namespace ZintarForward {

using ZintarUtil::Exceptions::ExceptionBase;
using ZintarUtil::Exceptions::ExceptionWindows;

namespace {

// SYSTEM, administrators and LocalService: full control; users: read. Protected, so that nothing
// inherited from %ProgramData% (where users may create files) lets others in.
constexpr char kStateFolderAccess[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;LS)(A;OICI;FRFX;;;BU)";

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

void RunForwarder(const CheckedSettings& settings, HANDLE stopEvent, bool echoToConsole)
{
    const std::string statePath = ZintarUtil::ForwardStatePath(settings.settings);
    WindowsForwarderPlatform platform(settings, statePath, stopEvent, echoToConsole);
    platform.Log("zintar-forward: the resume point is kept in " + statePath);
    std::optional<ForwardState> saved = ZintarUtil::ReadForwardStateFile(statePath);
    if (saved && !saved->acknowledged && saved->forwarded + saved->lost > 0)
        platform.Log("zintar-forward: the state file " + statePath +
                     " holds no readable resume point: starting with the oldest message the log holds");
    ForwarderOptions options{settings.target};
    options.typeMask = settings.settings.typeMask;
    Forwarder(options, platform, saved.value_or(ForwardState{})).Run();
}

CheckedSettings InstalledSettings()
{
    const std::optional<ForwardSettings> settings = ZintarUtil::ReadForwardSettings();
    if (!settings)
        throw ExceptionBase("The forwarder has no settings: run 'zintar-forward install --to URL' again");
    try {
        return CheckSettings(*settings);
    } catch (const ZintarUtil::UsageError& e) {
        throw ExceptionBase("The forwarder's settings in the registry are not usable: " + std::string(e.what()));
    }
}

void PrepareStateFolder()
{
    const std::string folder = ZintarUtil::ForwardStateFolder();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kStateFolderAccess, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        throw ExceptionWindows("Failed to build the state folder's access list");
    const ZintarUtil::UniqueLocalMemory owned(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    if (!CreateDirectoryA(folder.c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS)
        throw ExceptionWindows("Failed to create the state folder " + folder);
    // A folder that was there already gets the same list.
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    const DWORD status = SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT,
                                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                               nullptr, dacl, nullptr);
    if (status != ERROR_SUCCESS)
        throw ExceptionWindows("Failed to set the state folder's access list", nullptr, status);
}

std::string ForwardLogFile(const ForwardSettings& settings)
{
    return FolderOf(ZintarUtil::ForwardStatePath(settings)) + "\\ZintarForwardLog.txt";
}

class ForwardService::ForwardThread : public ZintarUtil::Threading::Thread {
public:
    ForwardThread(CheckedSettings settings, HANDLE stopEvent)
        : Thread("Forwarder"), settings(std::move(settings)), stopEvent(stopEvent)
    {
    }
    ~ForwardThread() override
    {
        SetEvent(stopEvent);
        ZintarUtil::Timeout budget(kStopBudget);
        Join(budget);
    }

protected:
    std::uint32_t Run() override
    {
        RunForwarder(settings, stopEvent, false);
        return 0;
    }

private:
    CheckedSettings settings;
    HANDLE stopEvent;
};

ForwardService::ForwardService()
{
    SetServiceName(ZintarUtil::kForwardServiceName);
    SetDisplayName(ZintarUtil::kForwardServiceDisplayName);
    SetAccount(ZintarUtil::kForwardServiceAccount);
    stopEvent.Take(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (stopEvent.IsInvalid())
        throw ExceptionWindows("Failed to create the forwarder's stop event");
}

ForwardService::~ForwardService()
{
    thread.reset();
}

void ForwardService::OnStart()
{
    CheckedSettings settings = InstalledSettings();
    ResetEvent(stopEvent.Get());
    thread = std::make_unique<ForwardThread>(std::move(settings), stopEvent.Get());
    thread->Start();
}

void ForwardService::OnStop()
{
    SetEvent(stopEvent.Get());
    ZintarUtil::Timeout budget(kStopBudget);
    if (thread && !thread->Join(budget))
        throw ExceptionBase("Failed to stop the forwarder within " + std::to_string(kStopBudget / 1000) + " s");
    thread.reset();
}

void ForwardService::StopWhatStillRuns()
{
    SetEvent(stopEvent.Get());
    thread.reset();  // joins within the budget, or ends the thread as a last resort
}

}  // namespace ZintarForward
