// The bridge between the one service object of the program and the Windows service control
// manager: installs and removes the service, runs the control dispatcher, reports the service's
// state with its checkpoints and turns the manager's controls into calls of four virtual
// operations that a derived class overrides.
//
// The service main and the control handler are plain functions that the manager calls; they find
// the object through the process-wide active instance, which SetActiveInstance sets once before
// the dispatcher starts. The service main runs on a thread of the dispatcher's and calls OnStart;
// the control handler runs on the dispatcher's thread (the program's main thread) and holds
// controlMutex around each control, so stop, shutdown, pause, continue and interrogate never
// overlap.
//
//     MyService service;                       // derived from Service
//     service.SetServiceName("Name");          // and SetDisplayName, SetExecutablePath
//     Service::SetActiveInstance(&service);
//     service.RunAsService();                  // returns once the service has stopped
#pragma once

#include <windows.h>

#include <string>

#include "Mutex.h"

namespace ZintarUtil::Services {

// Owns one handle of the service control manager; empty when null.
class ServiceHandle {
public:
    ServiceHandle() = default;
    explicit ServiceHandle(SC_HANDLE handle) : handle(handle) {}
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    // Closes what it holds; a failure to close is not reported from here.
    ~ServiceHandle();

    // Closes the handle; throws ExceptionWindows "CloseServiceHandle() failed:" and keeps it
    // when the manager refuses.
    void Close();
    void Reset(SC_HANDLE newHandle);
    bool IsNull() const { return handle == nullptr; }
    SC_HANDLE Get() const { return handle; }

private:
    SC_HANDLE handle = nullptr;
};

class Service {
public:
    static constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS;
    static constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

    Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    // Leaves the active instance alone.
    virtual ~Service() noexcept(false);

    // Called on start (the service main's thread) and on stop or shutdown (the control handler's
    // thread); they do nothing here.
    virtual void OnStart() {}
    virtual void OnStop() {}
    virtual void OnPause() {}
    virtual void OnContinue() {}

    void SetServiceName(const std::string& text) { serviceName = text; }
    void SetDisplayName(const std::string& text) { displayName = text; }
    // Stored between double quotes, so that a path with spaces starts the right program.
    void SetExecutablePath(const std::string& text) { executablePath = "\"" + text + "\""; }
    const std::string& ExecutablePath() const { return executablePath; }

    static void SetActiveInstance(Service* service);

    // Registers the service: own process, automatic start, LocalSystem. Throws ExceptionWindows
    // "OpenSCManager() failed" or "CreateService() failed".
    void Install();
    // Deletes the service from the manager's database without stopping it. Throws ExceptionWindows
    // "OpenSCManager() failed", "OpenService() failed" or "DeleteService() failed".
    void Remove();
    // Runs the control dispatcher; returns once the manager has stopped the service. Throws
    // ExceptionWindows "StartServiceCtrlDispatcher() failed" (as it does when started from a
    // console).
    void RunAsService();

    static void WINAPI ServiceMain(DWORD argumentCount, char** arguments);
    static void WINAPI ControlHandler(DWORD control);

    // Sends `status` to the manager; the checkpoint is 0 in the running and stopped states and
    // counts up in every other report.
    void ReportStatus();

    // STOPPED (not reported), START_PENDING, OnStart, RUNNING.
    void DoStart();
    // STOP_PENDING, OnStop, STOPPED.
    void DoStop();
    // PAUSE_PENDING, OnPause, PAUSED.
    void DoPause();
    // CONTINUE_PENDING, OnContinue, RUNNING.
    void DoContinue();

    const SERVICE_STATUS& Status() const { return status; }

private:
    // Reports `pending`, runs `operation` and reports `final`; an exception leaves before the
    // final report.
    void RunSequence(DWORD pending, void (Service::*operation)(), DWORD final);

    Mutex controlMutex;
    std::string serviceName;
    std::string executablePath;
    std::string displayName;
    SERVICE_STATUS status{};
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
};

}  // namespace ZintarUtil::Services
