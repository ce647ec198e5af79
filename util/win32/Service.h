// The bridge between the one service object of the program and the Windows service control
// manager: installs and removes the service, runs the control dispatcher, reports the service's
// state with its checkpoints and turns the manager's controls into calls of the virtual
// operations that a derived class overrides.
//
// The service main and the control handler are plain functions that the manager calls; they find
// the object through the process-wide active instance, which SetActiveInstance sets once before
// the dispatcher starts.
//
// Every start, stop and restart runs under controlMutex, one at a time: the start on the service
// main's thread, a restart on whichever thread asks for it, a stop on a "Service Stop" thread of
// its own. The control handler (the program's main thread) only reports STOP_PENDING and starts
// that thread, so it answers the manager at once however long the stop takes. A stop cancels a
// restart that has not begun. A start, stop or restart that fails ends whatever still runs and
// reports STOPPED with a service-specific exit code, with the reason in the diagnostic log: the
// service never stays RUNNING with nothing running, nor STOP_PENDING for good.
//
//     MyService service;                       // derived from Service
//     service.SetServiceName("Name");          // and SetDisplayName, SetExecutablePath
//     Service::SetActiveInstance(&service);
//     service.RunAsService();                  // returns once the service has stopped
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "util/win32/Mutex.h"
#include "util/win32/Thread.h"

namespace ZintarUtil::Services {

class Service {
public:
    static constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS;
    // The preshutdown notice comes before the system's last 20 s and waits up to
    // kPreshutdownTimeout for the stop: the log is saved and closed within it. The shutdown
    // notice stays accepted for systems that do not send the first.
    static constexpr DWORD kControlsAccepted =
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PRESHUTDOWN;
    // A stop is accepted only while RUNNING (or PAUSED), as Microsoft advises: the manager answers
    // a stop asked meanwhile with 1061 and the one who asked waits and asks again, rather than a
    // start and a stop running into each other. The system's shutdown notices stay accepted while
    // a start or a stop is pending, so that a shutdown still waits for the service; STOPPED
    // accepts nothing.
    static DWORD ControlsAcceptedIn(DWORD state);
    static constexpr DWORD kPreshutdownTimeout = 40000;
    // The service-specific exit codes reported with STOPPED after a failure.
    static constexpr DWORD kExitStartFailed = 1;
    static constexpr DWORD kExitRestartFailed = 2;
    static constexpr DWORD kExitStopFailed = 3;
    // The wait hints of the pending states. While a start or a stop is pending a checkpoint is
    // reported every kProgressInterval, whatever the step waits for, so no interval comes near
    // the hint; after kLongestPending, longer than every bounded wait of a start or a stop put
    // together, the reports end, and the manager may take the service for hung, as it then is.
    static constexpr DWORD kStartWaitHint = 30000;
    static constexpr DWORD kStopWaitHint = 30000;
    static constexpr DWORD kProgressInterval = 2000;
    static constexpr DWORD kLongestPending = 120000;
    // How long a stop waits for a start or a restart under way to give up the control lock (a
    // stop cuts their waits short, so they give it up within the stop's own budget). Past it,
    // the process reports STOPPED and ends.
    static constexpr DWORD kControlWaitLimit = 60000;

    Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    // Leaves the active instance alone; waits a bounded time for a stop under way.
    virtual ~Service() noexcept(false);

    // Called on start (the service main's thread) and on stop or shutdown (the control handler's
    // thread); they do nothing here.
    virtual void OnStart() {}
    virtual void OnStop() {}
    virtual void OnPause() {}
    virtual void OnContinue() {}
    // After a failed OnStart or OnStop: ends whatever still runs, so that STOPPED is true.
    virtual void StopWhatStillRuns() {}
    // On the stop thread, before the stop takes controlMutex: ends work that would otherwise
    // start or restart the service behind the stop (a pending restart).
    virtual void OnStopRequested() {}

    void SetServiceName(const std::string& text) { serviceName = text; }
    void SetDisplayName(const std::string& text) { displayName = text; }
    // Stored between double quotes, so that a path with spaces starts the right program; the
    // manager starts it with `arguments` after it.
    void SetExecutablePath(const std::string& text, const std::string& arguments = "")
    {
        executablePath = "\"" + text + "\"" + (arguments.empty() ? "" : " " + arguments);
    }
    const std::string& ExecutablePath() const { return executablePath; }
    // The account the service runs as, such as "NT AUTHORITY\LocalService"; LocalSystem when unset.
    void SetAccount(const std::string& name) { account = name; }
    // A SID of its own (NT SERVICE\<name>, SERVICE_SID_TYPE_UNRESTRICTED) in the service's token,
    // so that access lists can admit this service and not every service of its account; and the
    // only privileges its token keeps (names such as "SeChangeNotifyPrivilege"). Unset: the
    // account's groups and privileges, as the manager gives them.
    void SetOwnSid() { ownSid = true; }
    void SetRequiredPrivileges(std::vector<std::string> names) { privileges = std::move(names); }

    static void SetActiveInstance(Service* service);

    // Registers the service: own process, automatic start, LocalSystem or the account set, and asks the manager to
    // restart it after a failure. Throws ExceptionWindows "OpenSCManager() failed" or
    // "CreateService() failed". Returns what the manager refused of the failure actions, as a
    // sentence for the console (Wine refuses a part), or nothing: the service is installed either way.
    std::string Install();
    // Gives an installed service what Install gives a new one (failure actions, preshutdown time,
    // its own SID and privileges), for an install over an earlier version. Throws ExceptionWindows
    // "OpenSCManager() failed" or "OpenService() failed"; returns what the manager refused, as
    // Install does.
    std::string Reconfigure();
    // Deletes the service from the manager's database without stopping it. Throws ExceptionWindows
    // "OpenSCManager() failed", "OpenService() failed" or "DeleteService() failed".
    void Remove();
    // Runs the control dispatcher; returns once the manager has stopped the service. Throws
    // ExceptionWindows "StartServiceCtrlDispatcher() failed" (as it does when started from a
    // console).
    void RunAsService();

    static void WINAPI ServiceMain(DWORD argumentCount, char** arguments);
    static void WINAPI ControlHandler(DWORD control);
    // What the manager calls: the extended form, which alone receives the preshutdown notice.
    static DWORD WINAPI ControlHandlerEx(DWORD control, DWORD eventType, void* eventData, void* context);

    // For tests: the period of the pending reports (kProgressInterval by default).
    void SetProgressInterval(DWORD milliseconds) { progressInterval = milliseconds; }

    // Sends `status` to the manager; the checkpoint is 0 in the running and stopped states and
    // counts up in every other report.
    void ReportStatus();
    // While a start or a stop is pending: reports it again with the next checkpoint, so that the
    // manager never takes a long start for a hung one. Does nothing in any other state (a restart
    // reports nothing); a report that fails is not the step's failure. Called every
    // kProgressInterval while a start or a stop runs, and by the steps themselves.
    void ReportProgress();

    // STOPPED (not reported), START_PENDING, OnStart, RUNNING; STOPPED with kExitStartFailed when
    // OnStart fails.
    void DoStart();
    // STOP_PENDING, OnStop, STOPPED (with kExitStopFailed when OnStop fails). Runs on the caller's
    // thread; the control handler uses BeginStop instead.
    void DoStop();
    // The control handler's stop: reports STOP_PENDING and leaves DoStop to a "Service Stop"
    // thread. A second stop while one is under way does nothing.
    void BeginStop();
    // OnStop then OnStart, unless a stop was asked for or the service is not running; a failure
    // reports STOPPED with kExitRestartFailed.
    void Restart();
    // Waits within `timeout` for the stop thread; true when none runs.
    bool JoinStop(Timeout& timeout);
    // PAUSE_PENDING, OnPause, PAUSED.
    void DoPause();
    // CONTINUE_PENDING, OnContinue, RUNNING.
    void DoContinue();

    const SERVICE_STATUS& Status() const { return status; }

private:
    // Reports `pending`, runs `operation` and reports `final`; an exception leaves before the
    // final report.
    void RunSequence(DWORD pending, void (Service::*operation)(), DWORD final);
    // Runs `operation`; when it throws, logs `what` and the failure, ends what still runs and
    // reports STOPPED with `exitCode`. True when it succeeded. The caller holds controlMutex.
    bool RunOrStop(void (Service::*operation)(), const char* what, DWORD exitCode);
    void RestartSteps();
    // The manager's settings Install and Reconfigure give; returns what it refused, one sentence
    // each, or nothing.
    std::string Configure(SC_HANDLE service);
    void SetState(DWORD state, DWORD waitHint = 0);
    // ReportStatus with statusMutex held.
    void SendStatus();
    // The last resort of a stop that a start or a restart keeps from running: STOPPED, then the
    // process ends (the system writes the log's mapped pages back).
    [[noreturn]] void EndProcessStopped();

    Mutex controlMutex;
    Mutex statusMutex;  // the status record, reported from the control handler and the stop thread
    std::atomic<bool> stopRequested{false};
    DWORD progressInterval = kProgressInterval;
    std::unique_ptr<Threading::Thread> stopThread;
    std::string serviceName;
    std::string executablePath;
    std::string displayName;
    std::string account;
    bool ownSid = false;
    std::vector<std::string> privileges;
    SERVICE_STATUS status{};
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
};

}  // namespace ZintarUtil::Services
