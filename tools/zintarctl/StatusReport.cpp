#include "tools/zintarctl/StatusReport.h"

#include <sstream>

#include "util/ServiceSettingsTable.h"
#include "util/ZintarNames.h"

namespace ZintarCtl {

std::string SettingsText(const ZintarClient::Settings& s)
{
    std::string text;
    for (const ZintarUtil::SettingRow& row : ZintarUtil::kSettingRows) {
        std::string label = row.label;
        label.resize(15, ' ');
        text += label + ZintarUtil::SettingText(row, s) + "\n";
    }
    return text;
}

std::string StatusText(const StatusReport& report)
{
    std::ostringstream out;
    out << "service        " << report.stateText << "\n";
    if (!report.answered)
        out << "ping           no answer on " << ZintarUtil::kRequestPipeName << "\n";
    else
        out << "ping           answered\n";
    if (report.settings) {
        const ZintarClient::Settings& s = *report.settings;
        out << SettingsText(s) << "log file       " << report.logFile << "\n";
        if (!s.logFileInUse.empty()) {
            out << "log file used  " << s.logFileInUse;
            if (s.logFileFallback)
                out << "  (the default: the log file above could not be used; " << ZintarUtil::kServiceLogName
                    << " says why)";
            out << "\n"
                << "device         " << (s.deviceOpen ? "open" : "not open") << "\n";
        }
    }
    if (const auto& h = report.header) {
        out << "capacity       " << h->capacity << "\n"
            << "messages       " << h->messageCount << "\n"
            << "generation     " << h->generation << "\n"
            << "updates        " << h->updateCount << "\n"
            << "readers        " << h->readCount << " (this one included)\n"
            << "server running " << static_cast<int>(h->serverRunning) << "\n";
    } else {
        out << "log file       not shared (the service is not running)\n";
    }
    out << "forwarder      " << (report.forwarder.empty() ? "not installed" : report.forwarder) << "\n";
    return out.str();
}

}  // namespace ZintarCtl
