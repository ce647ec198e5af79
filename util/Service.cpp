#include "Service.h"

#include <cstdlib>
#include <vector>

#include "DiagnosticLog.h"
#include "Exceptions.h"
#include "ServiceControlManager.h"

namespace ZintarUtil::Services {

using Exceptions::ExceptionBase;
using Exceptions::ExceptionWindows;

namespace {

Service* activeInstance = nullptr;

constexpr char kServicesDatabase[] = "ServicesActive";

SC_HANDLE OpenManagerOrThrow()
{
    SC_HANDLE manager = CurrentServiceControlManager().OpenManager(nullptr, kServicesDatabase, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        throw ExceptionWindows("OpenSCManager() failed");
    return manager;
}

}  // namespace

ServiceHandle::~ServiceHandle()
{
    if (handle != nullptr)
        CurrentServiceControlManager().CloseServiceHandle(handle);
}

void ServiceHandle::Close()
{
    if (handle == nullptr)
        return;
    if (!CurrentServiceControlManager().CloseServiceHandle(handle))
        throw ExceptionWindows("CloseServiceHandle() failed:");
    handle = nullptr;
}

void ServiceHandle::Reset(SC_HANDLE newHandle)
{
    Close();
    handle = newHandle;
}

Service::Service() = default;

Service::~Service() noexcept(false) = default;

void Service::SetActiveInstance(Service* service)
{
    activeInstance = service;
}

void Service::Install()
{
    ServiceHandle manager(OpenManagerOrThrow());
    ServiceHandle service(CurrentServiceControlManager().CreateService(
        manager.Get(), serviceName.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS, kServiceType,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, executablePath.c_str()));
    if (service.IsNull())
        throw ExceptionWindows("CreateService() failed");
    service.Close();
    manager.Close();
}

void Service::Remove()
{
    ServiceHandle manager(OpenManagerOrThrow());
    ServiceHandle service(CurrentServiceControlManager().OpenService(manager.Get(), serviceName.c_str(),
                                                                     SERVICE_ALL_ACCESS));
    if (service.IsNull())
        throw ExceptionWindows("OpenService() failed");
    if (CurrentServiceControlManager().DeleteService(service.Get()) == 0)
        throw ExceptionWindows("DeleteService() failed");
    service.Close();
    manager.Close();
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
        activeInstance->statusHandle = CurrentServiceControlManager().RegisterServiceCtrlHandler(
            activeInstance->serviceName.c_str(), &Service::ControlHandler);
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
        Mutex::Access access(activeInstance->controlMutex, InfiniteTimeout);
        switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            activeInstance->DoStop();
            break;
        case SERVICE_CONTROL_PAUSE:
            activeInstance->DoPause();
            break;
        case SERVICE_CONTROL_CONTINUE:
            activeInstance->DoContinue();
            break;
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

void Service::ReportStatus()
{
    if (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_STOPPED)
        status.dwCheckPoint = 0;
    else
        status.dwCheckPoint += 1;
    if (CurrentServiceControlManager().SetServiceStatus(statusHandle, &status) != 1) {
        const ExceptionWindows cause("SetServiceStatus failed");
        throw ExceptionBase("Failed to report status", &cause);
    }
}

void Service::RunSequence(DWORD pending, void (Service::*operation)(), DWORD final)
{
    status.dwCurrentState = pending;
    ReportStatus();
    (this->*operation)();
    status.dwCurrentState = final;
    ReportStatus();
}

void Service::DoStart()
{
    status = {};
    status.dwServiceType = kServiceType;
    status.dwCurrentState = SERVICE_STOPPED;
    status.dwControlsAccepted = kControlsAccepted;
    RunSequence(SERVICE_START_PENDING, &Service::OnStart, SERVICE_RUNNING);
}

void Service::DoStop()
{
    RunSequence(SERVICE_STOP_PENDING, &Service::OnStop, SERVICE_STOPPED);
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
