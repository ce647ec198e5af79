#include "util/win32/Service.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/win32/Event.h"
#include "util/win32/ServiceControlManager.h"

namespace ZintarUtil::Services {

using Exceptions::ExceptionBase;
using Exceptions::ExceptionWindows;

namespace {

Service* activeInstance = nullptr;

constexpr char kServicesDatabase[] = "ServicesActive";

ServiceHandle OpenManagerOrThrow()
{
    ServiceHandle manager(
        CurrentServiceControlManager().OpenManager(nullptr, kServicesDatabase, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        throw ExceptionWindows("OpenSCManager() failed");
    return manager;
}

// Install and Remove report a handle that the manager refuses to close, as they report its other
// refusals.
void CloseOrThrow(ServiceHandle& handle)
{
    if (!handle.Close())
        throw ExceptionWindows("CloseServiceHandle() failed:");
}

// The manager restarts a service that failed: twice after 5 s, then after 30 s, counting afresh
// after a day without failure; with the flag it also counts a STOPPED with an exit code (a failed
// start) as a failure, not only a crash. Returns what the manager refused, for the console.
std::string SetFailureActions(SC_HANDLE service)
{
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}};
    SERVICE_FAILURE_ACTIONSA failureActions{};
    failureActions.dwResetPeriod = 24 * 60 * 60;
    failureActions.cActions = sizeof actions / sizeof actions[0];
    failureActions.lpsaActions = actions;
    if (!CurrentServiceControlManager().ChangeServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions))
        return "The service manager refused the failure actions (error " + std::to_string(GetLastError()) +
               "): nothing restarts the service after a failure.";
    SERVICE_FAILURE_ACTIONS_FLAG onNonCrashFailures{TRUE};
    if (!CurrentServiceControlManager().ChangeServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                                                             &onNonCrashFailures))
        return "The service manager refused to count a failed start as a failure (error " +
               std::to_string(GetLastError()) + "): it restarts the service after a crash only.";
    SERVICE_PRESHUTDOWN_INFO preshutdown{Service::kPreshutdownTimeout};
    if (!CurrentServiceControlManager().ChangeServiceConfig2(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown))
        return "The service manager refused the time to stop before a shutdown (error " +
               std::to_string(GetLastError()) + "): the system's default applies.";
    return "";
}

// The service's own SID and its privileges; what the manager refuses, for the console. Wine
// refuses both (it has no service SIDs and gives every process the same token).
std::string SetAccountLimits(SC_HANDLE service, bool ownSid, const std::vector<std::string>& privileges)
{
    std::string refused;
    if (ownSid) {
        SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
        if (!CurrentServiceControlManager().ChangeServiceConfig2(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid))
            refused += "The service manager refused the service a SID of its own (error " +
                       std::to_string(GetLastError()) + "): access lists that name it do not admit it.";
    }
    if (!privileges.empty()) {
        std::string list;  // double-null-terminated
        for (const std::string& name : privileges)
            list += name + '\0';
        list += '\0';
        SERVICE_REQUIRED_PRIVILEGES_INFOA required{list.data()};
        if (!CurrentServiceControlManager().ChangeServiceConfig2(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO,
                                                                 &required))
            refused += std::string(refused.empty() ? "" : "\n") +
                       "The service manager refused to limit the service's privileges (error " +
                       std::to_string(GetLastError()) + "): it keeps every privilege of its account.";
    }
    return refused;
}

// Reports the next checkpoint of a pending start or stop every `interval` ms while it lives, for
// at most kLongestPending.
class PendingProgress final : public Threading::Thread {
public:
    PendingProgress(Service& service, DWORD interval)
        : Thread("Service Progress"), service(service), interval(interval), done("", nullptr)
    {
        done.RemoveSignal();
        Start();
    }
    ~PendingProgress() override
    {
        done.SetSignal();
        Timeout budget(Service::kProgressInterval);
        Join(budget);
    }

protected:
    std::uint32_t Run() override
    {
        Timeout limit(Service::kLongestPending);
        while (!limit.Expired() && !done.Wait(std::min<std::uint32_t>(interval, limit.Remaining())))
            service.ReportProgress();
        return 0;
    }

private:
    Service& service;
    const DWORD interval;
    Event done;
};

// The thread that carries out a stop while the control handler has already answered.
class StopThread final : public Threading::Thread {
public:
    explicit StopThread(Service& service) : Thread("Service Stop"), service(service) {}
    ~StopThread() override
    {
        Timeout budget(Service::kStopWaitHint);
        Join(budget);
    }

protected:
    std::uint32_t Run() override
    {
        service.OnStopRequested();
        service.DoStop();
        return 0;
    }

private:
    Service& service;
};

}  // namespace

Service::Service() = default;

Service::~Service() noexcept(false)
{
    Timeout budget(kStopWaitHint);
    JoinStop(budget);
}

bool Service::JoinStop(Timeout& timeout)
{
    return stopThread == nullptr || stopThread->Join(timeout);
}

void Service::SetActiveInstance(Service* service)
{
    activeInstance = service;
}

std::string Service::Configure(SC_HANDLE service)
{
    const std::string actions = SetFailureActions(service);
    const std::string limits = SetAccountLimits(service, ownSid, privileges);
    return actions + (actions.empty() || limits.empty() ? "" : "\n") + limits;
}

std::string Service::Reconfigure()
{
    ServiceHandle manager = OpenManagerOrThrow();
    ServiceHandle service(
        CurrentServiceControlManager().OpenService(manager.Get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service)
        throw ExceptionWindows("OpenService() failed");
    const std::string refused = Configure(service.Get());
    CloseOrThrow(service);
    CloseOrThrow(manager);
    return refused;
}

std::string Service::Install()
{
    ServiceHandle manager = OpenManagerOrThrow();
    ServiceHandle service(CurrentServiceControlManager().CreateService(
        manager.Get(), serviceName.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS, kServiceType, SERVICE_AUTO_START,
        SERVICE_ERROR_NORMAL, executablePath.c_str(), account.empty() ? nullptr : account.c_str()));
    if (!service)
        throw ExceptionWindows("CreateService() failed");
    const std::string refused = Configure(service.Get());
    CloseOrThrow(service);
    CloseOrThrow(manager);
    return refused;
}

void Service::Remove()
{
    ServiceHandle manager = OpenManagerOrThrow();
    ServiceHandle service(
        CurrentServiceControlManager().OpenService(manager.Get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service)
        throw ExceptionWindows("OpenService() failed");
    if (CurrentServiceControlManager().DeleteService(service.Get()) == 0)
        throw ExceptionWindows("DeleteService() failed");
    CloseOrThrow(service);
    CloseOrThrow(manager);
}

void Service::RunAsService()
{
    // The dispatcher wants a writable name.
    std::vector<char> name(serviceName.begin(), serviceName.end());
    name.push_back('\0');
    const SERVICE_TABLE_ENTRYA table[2] = {{name.data(), &Service::ServiceMain}, {nullptr, nullptr}};
    if (CurrentServiceControlManager().StartServiceCtrlDispatcher(table) != 1)
        throw ExceptionWindows("StartServiceCtrlDispatcher() failed");
}

void WINAPI Service::ServiceMain(DWORD, char**)
{
    try {
        if (activeInstance == nullptr)
            throw ExceptionBase("Service started before calling SetActiveInstance() on an instance");
        activeInstance->statusHandle = CurrentServiceControlManager().RegisterServiceCtrlHandlerEx(
            activeInstance->serviceName.c_str(), &Service::ControlHandlerEx, nullptr);
        if (activeInstance->statusHandle == nullptr) {
            const ExceptionWindows cause("RegisterServiceCtrlHandler failed");
            throw ExceptionBase("Failed to start service", &cause);
        }
        activeInstance->DoStart();
    } catch (const ExceptionBase& e) {
        // A service that cannot start has nothing left to run: the manager sees the process end
        // while the start is pending.
        WriteLog("An exception has occured in the service's main : " + e.GetFullMessage("\n"));
        WriteLog("Aborting");
        std::abort();
    }
}

void WINAPI Service::ControlHandler(DWORD control)
{
    try {
        if (activeInstance == nullptr)
            throw ExceptionBase("Service control message received but no active instance is specified");
        // Only pause and continue run here under controlMutex; a stop runs on its own thread, and
        // an interrogation must be answered even while a restart holds the lock.
        switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_PRESHUTDOWN:
        case SERVICE_CONTROL_SHUTDOWN:
            activeInstance->BeginStop();
            break;
        case SERVICE_CONTROL_PAUSE: {
            Mutex::Access access(activeInstance->controlMutex, InfiniteTimeout);
            activeInstance->DoPause();
            break;
        }
        case SERVICE_CONTROL_CONTINUE: {
            Mutex::Access access(activeInstance->controlMutex, InfiniteTimeout);
            activeInstance->DoContinue();
            break;
        }
        case SERVICE_CONTROL_INTERROGATE:
            activeInstance->ReportStatus();
            break;
        default:
            break;
        }
    } catch (const ExceptionBase& e) {
        WriteLog("An exception has occured in the service's control method : " + e.GetFullMessage("\n"));
    }
}

DWORD WINAPI Service::ControlHandlerEx(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
        ControlHandler(control);
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void Service::ReportStatus()
{
    Mutex::Access access(statusMutex, InfiniteTimeout);
    SendStatus();
}

void Service::SendStatus()
{
    if (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_STOPPED)
        status.dwCheckPoint = 0;
    else
        status.dwCheckPoint += 1;
    status.dwControlsAccepted = ControlsAcceptedIn(status.dwCurrentState);
    if (CurrentServiceControlManager().SetServiceStatus(statusHandle, &status) != 1) {
        const ExceptionWindows cause("SetServiceStatus failed");
        throw ExceptionBase("Failed to report status", &cause);
    }
}

DWORD Service::ControlsAcceptedIn(DWORD state)
{
    switch (state) {
    case SERVICE_RUNNING:
    case SERVICE_PAUSED:
        return kControlsAccepted;
    case SERVICE_STOPPED:
        return 0;
    default:
        return kControlsAccepted & ~SERVICE_ACCEPT_STOP;
    }
}

void Service::ReportProgress()
{
    try {
        // Checked and sent under one lock: a report of the pending state never follows the
        // final one.
        Mutex::Access access(statusMutex, InfiniteTimeout);
        if (status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_STOP_PENDING)
            SendStatus();
    } catch (const ExceptionBase& e) {
        WriteLog("Failed to report progress : " + e.GetFullMessage("\n"));
    }
}

void Service::SetState(DWORD state, DWORD waitHint)
{
    {
        Mutex::Access access(statusMutex, InfiniteTimeout);
        status.dwCurrentState = state;
        status.dwWaitHint = waitHint;
    }
    ReportStatus();
}

void Service::RunSequence(DWORD pending, void (Service::*operation)(), DWORD final)
{
    SetState(pending);
    (this->*operation)();
    SetState(final);
}

bool Service::RunOrStop(void (Service::*operation)(), const char* what, DWORD exitCode)
{
    try {
        (this->*operation)();
        return true;
    } catch (const ExceptionBase& e) {
        WriteLog(what + e.GetFullMessage("\n"));
    }
    StopWhatStillRuns();
    // A start or restart that a stop cut short ends as that stop would: no failure for the
    // manager to act on.
    const bool cutShortByStop = stopRequested && exitCode != kExitStopFailed;
    if (!cutShortByStop) {
        Mutex::Access access(statusMutex, InfiniteTimeout);
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = exitCode;
    }
    SetState(SERVICE_STOPPED);
    return false;
}

void Service::RestartSteps()
{
    OnStop();
    OnStart();
}

void Service::DoStart()
{
    Mutex::Access control(controlMutex, InfiniteTimeout);
    {
        Mutex::Access access(statusMutex, InfiniteTimeout);
        status = {};
        status.dwServiceType = kServiceType;
        status.dwCurrentState = SERVICE_STOPPED;
    }
    SetState(SERVICE_START_PENDING, kStartWaitHint);
    bool started = false;
    {
        PendingProgress progress(*this, progressInterval);
        started = RunOrStop(&Service::OnStart, "An exception has occured in the service's main : ", kExitStartFailed);
    }
    if (started)
        SetState(SERVICE_RUNNING);
}

void Service::DoStop()
{
    PendingProgress progress(*this, progressInterval);
    Timeout controlWait(kControlWaitLimit);
    Mutex::Access control(controlMutex, controlWait);
    if (controlWait.Expired())
        EndProcessStopped();
    if (status.dwCurrentState == SERVICE_STOPPED)
        return;  // a failed restart has stopped it already
    SetState(SERVICE_STOP_PENDING, kStopWaitHint);
    if (RunOrStop(&Service::OnStop, "An exception has occured in the service's control method : ", kExitStopFailed))
        SetState(SERVICE_STOPPED);
}

void Service::EndProcessStopped()
{
    WriteLog("The stop could not wait any longer for a start or a restart under way; the process ends.");
    {
        Mutex::Access access(statusMutex, InfiniteTimeout);
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = kExitStopFailed;
    }
    try {
        SetState(SERVICE_STOPPED);
    } catch (const ExceptionBase&) {
    }
    ExitProcess(kExitStopFailed);
}

void Service::BeginStop()
{
    if (stopRequested.exchange(true))
        return;
    SetState(SERVICE_STOP_PENDING, kStopWaitHint);
    stopThread = std::make_unique<StopThread>(*this);
    stopThread->Start();
}

void Service::Restart()
{
    Mutex::Access control(controlMutex, InfiniteTimeout);
    if (stopRequested || status.dwCurrentState != SERVICE_RUNNING)
        return;
    RunOrStop(&Service::RestartSteps, "Failed to restart the service : ", kExitRestartFailed);
}

void Service::DoPause()
{
    RunSequence(SERVICE_PAUSE_PENDING, &Service::OnPause, SERVICE_PAUSED);
}

void Service::DoContinue()
{
    RunSequence(SERVICE_CONTINUE_PENDING, &Service::OnContinue, SERVICE_RUNNING);
}

}  // namespace ZintarUtil::Services
