#include "tools/zintar-forward/win32/ForwardService.h"

#include "tools/zintar-forward/win32/ForwardPlatform.h"
#include "tools/zintar-forward/win32/LocalFileAccess.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/Timeout.h"
#include "util/ZintarNames.h"
#include "util/win32/ForwardSettingsStore.h"
#include "util/win32/Thread.h"

namespace ZintarForward {

using ZintarUtil::Exceptions::ExceptionBase;

namespace {

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
    // Its own SID, which the state folder admits rather than LocalService (which many services
    // share); and none of LocalService's other privileges, such as SeCreateGlobalPrivilege, which
    // would let it make a Global\ name before the server does.
    SetOwnSid();
    SetRequiredPrivileges({"SeChangeNotifyPrivilege"});
    stopEvent = ZintarUtil::NewUnsignalledEvent("Failed to create the forwarder's stop event");
}

ForwardService::~ForwardService()
{
    thread.reset();
}

void ForwardService::OnStart()
{
    CheckedSettings settings = InstalledSettings();
    RefuseUnsafeCredentialFiles(settings.settings);
    stopEvent->RemoveSignal();
    thread = std::make_unique<ForwardThread>(std::move(settings), stopEvent->Handle());
    thread->Start();
}

void ForwardService::OnStop()
{
    stopEvent->SetSignal();
    ZintarUtil::Timeout budget(kStopBudget);
    if (thread && !thread->Join(budget))
        throw ExceptionBase("Failed to stop the forwarder within " + std::to_string(kStopBudget / 1000) + " s");
    thread.reset();
}

void ForwardService::StopWhatStillRuns()
{
    stopEvent->SetSignal();
    thread.reset();  // joins within the budget, or ends the thread as a last resort
}

}  // namespace ZintarForward
