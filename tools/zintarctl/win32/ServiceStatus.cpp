#include "ServiceStatus.h"

#include <windows.h>

#include "Exceptions.h"
#include "LogFileReader.h"
#include "Service.h"
#include "ServiceClient.h"
#include "ZintarNames.h"

namespace ZintarCtl {

namespace {

constexpr std::uint32_t kPipeAnswerLimit = 2000;    // ms
constexpr std::uint32_t kWriterWaitLimit = 5000;    // ms

// What the service control manager says of the service.
void QueryServiceState(StatusReport& report)
{
    using ZintarUtil::Services::ServiceHandle;
    auto say = [&report](ServiceState state, std::string text) {
        report.state = state;
        report.stateText = std::move(text);
    };
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.IsNull())
        return say(ServiceState::Unknown,
                   "unknown (the service control manager refused: error " + std::to_string(GetLastError()) + ")");
    const ServiceHandle service(OpenServiceA(manager.Get(), ZintarUtil::kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (service.IsNull() && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
        return say(ServiceState::NotInstalled, "not installed");
    if (service.IsNull() || !QueryServiceStatus(service.Get(), &status))
        return say(ServiceState::Unknown, "unknown (error " + std::to_string(GetLastError()) + ")");
    switch (status.dwCurrentState) {
    case SERVICE_RUNNING:
        return say(ServiceState::Running, "running");
    case SERVICE_STOPPED:
        return say(ServiceState::Stopped, "stopped");
    case SERVICE_START_PENDING:
        return say(ServiceState::Pending, "starting");
    case SERVICE_STOP_PENDING:
        return say(ServiceState::Pending, "stopping");
    default:
        return say(ServiceState::Pending, "state " + std::to_string(status.dwCurrentState));
    }
}

}  // namespace

StatusReport GatherStatus()
{
    StatusReport report;
    QueryServiceState(report);
    try {
        ZintarClient::ServiceClient client(kPipeAnswerLimit);
        client.Ping();
        report.answered = true;
        report.settings = client.GetSettings();
        report.logFile = client.GetLogFileName();
    } catch (const ZintarUtil::Exceptions::ExceptionBase&) {
    }
    try {
        ZintarUtil::LogFileReader reader(ZintarUtil::kFileMapName, kWriterWaitLimit);
        ZintarUtil::LogSnapshot snapshot;
        reader.ReadSnapshot(snapshot, 0);  // the header is all the report needs
        report.header = snapshot.header;
    } catch (const ZintarUtil::Exceptions::ExceptionBase&) {
    }
    return report;
}

}  // namespace ZintarCtl
