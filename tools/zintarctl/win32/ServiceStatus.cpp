#include "tools/zintarctl/win32/ServiceStatus.h"

#include <windows.h>

#include "client/win32/ServiceClient.h"
#include "util/Exceptions.h"
#include "util/ZintarNames.h"
#include "util/win32/ForwardSettingsStore.h"
#include "util/win32/LogFileReader.h"
#include "util/win32/ServiceQuery.h"

namespace ZintarCtl {

namespace {

constexpr std::uint32_t kPipeAnswerLimit = 2000;  // ms
constexpr std::uint32_t kWriterWaitLimit = 5000;  // ms

// What the service control manager says of the service.
void QueryServiceState(StatusReport& report)
{
    const ZintarUtil::Services::ServiceQuery query = ZintarUtil::Services::QueryServiceState(ZintarUtil::kServiceName);
    report.state = query.state;
    report.stateText = query.text;
}

// The forwarder's service state and what its state file says, on one line.
std::string ForwarderLine()
{
    try {
        const std::optional<ZintarUtil::ForwardSettings> settings = ZintarUtil::ReadForwardSettings();
        if (!settings)
            return "";
        const auto query = ZintarUtil::Services::QueryServiceState(ZintarUtil::kForwardServiceName);
        const auto state = ZintarUtil::ReadForwardStatus(ZintarUtil::ForwardStatePath(*settings));
        return query.text + ", " +
               (state ? ZintarUtil::ForwardStatusLine(*state) : "to " + settings->to + ", no state yet");
    } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
        return "unknown (" + e.GetFullMessage("; ") + ")";
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
    report.forwarder = ForwarderLine();
    return report;
}

}  // namespace ZintarCtl
