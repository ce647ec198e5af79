// The command line of zintarctl, the console client of the service: which command to run and
// with what, checked before anything is sent. Parsed with CLI11; every command has --help.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/CommandLineValues.h"
#include "util/ServiceState.h"
#include "util/UsageError.h"

namespace ZintarCtl {

// zintarctl's verbs. Each is a row of the table in CtlCommandLine.cpp (its words, its help line and
// its options) and a case of Run in win32/ZintarCtl.cpp (its action).
enum class Verb {
    Status,
    SettingsGet,
    SettingsSet,
    FiltersList,
    FiltersAdd,
    FiltersClear,
    LogFileGet,
    LogFileSet,
    LogFileDefault,
    Write,
    Read,
    Follow,
    Web,
};

enum class Format { Text, Json, Csv };

enum class ColorChoice { Auto, Always, Never };

using ZintarUtil::Services::ServiceState;

struct CtlCommand {
    Verb verb = Verb::Status;
    // settings set: only the values given change; the rest are sent back as the service reported them.
    std::optional<std::uint32_t> maxMessage, devicePollRate, saveRate, typeFilter;
    // filters add, logfile set
    std::string text;
    bool include = true;
    // write
    std::uint32_t type = 0;
    std::string auxText;
    // read and follow
    std::optional<std::uint32_t> last;  // read -n: the newest N; follow -n: N printed first (10)
    std::optional<std::string> file;    // a log file read from disk instead of the service's mapping
    std::optional<std::string> since, until, textPrefix, grep;
    std::optional<std::uint32_t> types;  // bit i selects type i
    Format format = Format::Text;
    ColorChoice color = ColorChoice::Auto;
    bool utc = false;  // times are printed and read in UTC instead of local time
    std::uint32_t pollMs = 200;
    std::optional<std::string> syslog;  // follow: HOST:PORT to send each message to as well
    // web
    std::string listen = "127.0.0.1:8080";
    bool openBrowser = false;
};

// The command `args` ask for (without the program's name), or nothing when help was asked for
// ("help", "/?" or --help) and printed to `help`. Throws ZintarUtil::UsageError (exit code 2).
std::optional<CtlCommand> ParseCtlCommand(const std::vector<std::string>& args, std::string& help);

// As systemctl status: 0 when the service runs and answers; 3 when it does not run (stopped,
// starting, stopping, not installed), so that scripts can tell; 1 when it runs but does not answer,
// or its state cannot be read.
int StatusExitCode(ServiceState state, bool answered);

using ZintarUtil::ParseTypeList;

}  // namespace ZintarCtl
