// What `status` and the web page's status panel say of the service: its state in the service
// control manager, its answer on the pipe, its settings and the shared log file's figures.
#pragma once

#include <optional>
#include <string>

#include "client/ServiceRequests.h"
#include "tools/zintarctl/CtlCommandLine.h"
#include "util/CommandLineValues.h"
#include "util/LogFileFormat.h"

namespace ZintarCtl {

struct StatusReport {
    ServiceState state = ServiceState::Unknown;
    std::string stateText;  // "running", "not installed", ...
    bool answered = false;  // the service answered a ping on its pipe
    std::optional<ZintarClient::Settings> settings;
    std::string logFile;                           // the path the service was told to use
    std::optional<ZintarUtil::FileHeader> header;  // while the service shares its log
    std::string forwarder;                         // one line on zintar-forward; empty while it is not installed
};

// The lines `zintarctl status` prints.
std::string StatusText(const StatusReport& report);

// The settings of the table, a line each, as `settings get` and `status` print them.
std::string SettingsText(const ZintarClient::Settings& settings);

using ZintarUtil::TypesText;

}  // namespace ZintarCtl
