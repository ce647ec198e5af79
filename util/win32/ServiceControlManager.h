// The service control manager's calls that the service framework makes, behind an interface:
// the real manager answers them in the product, and a stand-in answers them in tests, so that the
// framework's state sequences and failure paths run without registering anything.
#pragma once

#include <windows.h>

#include "util/win32/UniqueResource.h"

namespace ZintarUtil::Services {

class ServiceControlManager {
public:
    virtual ~ServiceControlManager() = default;

    virtual SC_HANDLE OpenManager(const char* machineName, const char* databaseName, DWORD access) = 0;
    // `account` null: LocalSystem.
    virtual SC_HANDLE CreateService(SC_HANDLE manager, const char* serviceName, const char* displayName, DWORD access,
                                    DWORD serviceType, DWORD startType, DWORD errorControl, const char* binaryPath,
                                    const char* account) = 0;
    virtual SC_HANDLE OpenService(SC_HANDLE manager, const char* serviceName, DWORD access) = 0;
    virtual BOOL DeleteService(SC_HANDLE service) = 0;
    virtual BOOL CloseServiceHandle(SC_HANDLE handle) = 0;
    virtual BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYA* table) = 0;
    virtual SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerEx(const char* serviceName, LPHANDLER_FUNCTION_EX handler,
                                                               void* context) = 0;
    virtual BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) = 0;
    virtual BOOL ChangeServiceConfig2(SC_HANDLE service, DWORD infoLevel, void* info) = 0;
};

// The manager the framework talks to: the system's unless a test has put a stand-in in its place.
ServiceControlManager& CurrentServiceControlManager();

// Puts `manager` in place of the system's (null restores the system's). For tests only; call it
// while no service runs.
void ReplaceServiceControlManager(ServiceControlManager* manager);

// A handle of the control manager or of a service, closed through the current manager, so that a
// test's stand-in sees every close.
struct ServiceHandleTraits : NullIsEmpty<SC_HANDLE> {
    static bool Close(SC_HANDLE handle) noexcept
    {
        return CurrentServiceControlManager().CloseServiceHandle(handle) != FALSE;
    }
};
using ServiceHandle = UniqueResource<ServiceHandleTraits>;

}  // namespace ZintarUtil::Services
