#include "util/win32/ServiceQuery.h"

#include "util/win32/ServiceControlManager.h"

namespace ZintarUtil::Services {

ServiceQuery QueryServiceState(const std::string& serviceName)
{
    using State = ServiceQuery::State;
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return {State::Unknown,
                "unknown (the service control manager refused: error " + std::to_string(GetLastError()) + ")"};
    const ServiceHandle service(OpenServiceA(manager.Get(), serviceName.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (!service && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
        return {State::NotInstalled, "not installed"};
    if (!service || !QueryServiceStatus(service.Get(), &status))
        return {State::Unknown, "unknown (error " + std::to_string(GetLastError()) + ")"};
    switch (status.dwCurrentState) {
    case SERVICE_RUNNING:
        return {State::Running, "running"};
    case SERVICE_STOPPED:
        return {State::Stopped, "stopped"};
    case SERVICE_START_PENDING:
        return {State::Pending, "starting"};
    case SERVICE_STOP_PENDING:
        return {State::Pending, "stopping"};
    default:
        return {State::Pending, "state " + std::to_string(status.dwCurrentState)};
    }
}

}  // namespace ZintarUtil::Services
