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

// zintarctl's verbs, one row each, in the order its help lists them:
//   VERB(name, words, help, options, action)
// `name` is the verb in the code (Verb::name); `words` call it, a group's word first when it sits
// in one (the groups are in CtlCommandLine.cpp); `help` is its line in the help; `options` adds
// its options and finishes what they read into the command (CtlCommandLine.cpp, NoOptions when it
// has none); `action` carries it out and returns the exit code (win32/ZintarCtl.cpp). A new verb
// is a row here and its action there.
#define ZINTARCTL_VERBS(VERB)                                                                                          \
    VERB(Status, "status", "the service's state, its settings and the log file's figures", NoOptions, ShowStatus)      \
    VERB(SettingsGet, "settings get", "print the settings", NoOptions, ShowSettings)                                   \
    VERB(SettingsSet, "settings set", "change settings; the service restarts to apply them", SettingsSetOptions,       \
         ChangeSettings)                                                                                               \
    VERB(FiltersList, "filters list", "print every filter", NoOptions, ListFilters)                                    \
    VERB(FiltersAdd, "filters add", "add a filter: include (the default) or --exclude", FiltersAddOptions, AddFilter)  \
    VERB(FiltersClear, "filters clear", "remove every filter", NoOptions, ClearFilters)                                \
    VERB(LogFileGet, "logfile get", "print the path", NoOptions, ShowLogFile)                                          \
    VERB(LogFileSet, "logfile set", "move the log file there at the service's next stop", LogFileSetOptions,           \
         MoveLogFile)                                                                                                  \
    VERB(LogFileDefault, "logfile default", "print the default path", NoOptions, ShowDefaultLogFile)                   \
    VERB(Write, "write", "send a message to the log", WriteOptions, WriteMessage)                                      \
    VERB(Read, "read", "print the stored messages, oldest first", ReadOptions, Read)                                   \
    VERB(Follow, "follow", "print the newest stored messages, then new ones as they arrive, until Ctrl-C (also -f)",   \
         FollowOptions, Follow)                                                                                        \
    VERB(Web, "web", "show the log as a live page in the browser, until Ctrl-C", WebOptions, Web)

enum class Verb {
#define ZINTARCTL_VERB_NAME(name, words, help, options, action) name,
    ZINTARCTL_VERBS(ZINTARCTL_VERB_NAME)
#undef ZINTARCTL_VERB_NAME
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
// and printed to `help`. Throws ZintarUtil::UsageError (exit code 2).
std::optional<CtlCommand> ParseCtlCommand(const std::vector<std::string>& args, std::string& help);

// As systemctl status: 0 when the service runs and answers; 3 when it does not run (stopped,
// starting, stopping, not installed), so that scripts can tell; 1 when it runs but does not answer,
// or its state cannot be read.
int StatusExitCode(ServiceState state, bool answered);

using ZintarUtil::ParseTypeList;

}  // namespace ZintarCtl
