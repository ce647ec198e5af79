#include "util/win32/ServiceControlManager.h"

namespace ZintarUtil::Services {

namespace {

class SystemServiceControlManager final : public ServiceControlManager {
public:
    SC_HANDLE OpenManager(const char* machineName, const char* databaseName, DWORD access) override
    {
        return ::OpenSCManagerA(machineName, databaseName, access);
    }

    SC_HANDLE CreateService(SC_HANDLE manager, const char* serviceName, const char* displayName, DWORD access,
                            DWORD serviceType, DWORD startType, DWORD errorControl, const char* binaryPath,
                            const char* account) override
    {
        // The built-in service accounts have no password: an empty one is passed for them.
        return ::CreateServiceA(manager, serviceName, displayName, access, serviceType, startType, errorControl,
                                binaryPath, nullptr, nullptr, nullptr, account, account ? "" : nullptr);
    }

    SC_HANDLE OpenService(SC_HANDLE manager, const char* serviceName, DWORD access) override
    {
        return ::OpenServiceA(manager, serviceName, access);
    }

    BOOL DeleteService(SC_HANDLE service) override { return ::DeleteService(service); }

    BOOL CloseServiceHandle(SC_HANDLE handle) override { return ::CloseServiceHandle(handle); }

    BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYA* table) override
    {
        return ::StartServiceCtrlDispatcherA(table);
    }

    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerEx(const char* serviceName, LPHANDLER_FUNCTION_EX handler,
                                                       void* context) override
    {
        return ::RegisterServiceCtrlHandlerExA(serviceName, handler, context);
    }

    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) override
    {
        return ::SetServiceStatus(handle, status);
    }

    BOOL ChangeServiceConfig2(SC_HANDLE service, DWORD infoLevel, void* info) override
    {
        return ::ChangeServiceConfig2A(service, infoLevel, info);
    }
};

SystemServiceControlManager systemManager;
ServiceControlManager* current = &systemManager;

}  // namespace

ServiceControlManager& CurrentServiceControlManager()
{
    return *current;
}

void ReplaceServiceControlManager(ServiceControlManager* manager)
{
    current = manager != nullptr ? manager : &systemManager;
}

}  // namespace ZintarUtil::Services
