#include "tools/zintarctl/CtlCommandLine.h"

#include <CLI/CLI.hpp>

#include "tools/zintarctl/WebRequests.h"
#include "util/LogFileFormat.h"
#include "util/ToolFrame.h"

namespace ZintarCtl {

using ZintarUtil::UsageError;

namespace {

// The characters of a message's text or auxiliary text, as help and refusals say it.
const std::string kTextLimit = std::to_string(ZintarUtil::kTextFieldSize - 1);

// The command being read, and what its options hold until they are finished into it.
struct Reading {
    CtlCommand command;
    std::string types, format = "text", color = "auto";  // read and follow
    std::uint32_t max = 0, poll = 0, save = 0;           // settings set
    std::string typeFilter;
    bool exclude = false;  // filters add
};

using Finish = ZintarUtil::FinishVerb;

// Reads an option into an optional only when it was given.
template <class T>
void TakeIf(CLI::Option* option, const T& value, std::optional<T>& target)
{
    if (option->count() > 0)
        target = value;
}

Finish SettingsSetOptions(CLI::App& verb, Reading& r)
{
    CLI::Option* max =
        verb.add_option("--max", r.max, "messages the log keeps")->check(CLI::Range(1u, ZintarUtil::kMaxCapacity));
    CLI::Option* poll = verb.add_option("--poll", r.poll, "milliseconds between polls of the driver");
    CLI::Option* save = verb.add_option("--save", r.save, "seconds between saves to disk");
    CLI::Option* types = verb.add_option("--types", r.typeFilter, "the types to keep, for example 0,1,2,3");
    return [&r, max, poll, save, types] {
        CtlCommand& c = r.command;
        TakeIf(max, r.max, c.maxMessage);
        TakeIf(poll, r.poll, c.devicePollRate);
        TakeIf(save, r.save, c.saveRate);
        if (types->count() > 0)
            c.typeFilter = ParseTypeList(r.typeFilter);
        if (!c.maxMessage && !c.devicePollRate && !c.saveRate && !c.typeFilter)
            throw UsageError("settings set needs at least one of --max, --poll, --save and --types");
    };
}

Finish FiltersAddOptions(CLI::App& verb, Reading& r)
{
    verb.add_option("text", r.command.text, "the filter: texts that begin with it, ignoring case, match")->required();
    verb.add_flag("--exclude", r.exclude, "refuse matching texts instead of keeping only them");
    return [&r] { r.command.include = !r.exclude; };
}

Finish LogFileSetOptions(CLI::App& verb, Reading& r)
{
    verb.add_option("path", r.command.text, "the new path, as the service sees it")->required();
    return {};
}

Finish WriteOptions(CLI::App& verb, Reading& r)
{
    const std::uint32_t highestType = ZintarUtil::kMessageTypes - 1;
    verb.add_option("--type", r.command.type, "0 to " + std::to_string(highestType))
        ->check(CLI::Range(0u, highestType));
    verb.add_option("--text", r.command.text, "the text (at most " + kTextLimit + " characters)")->required();
    verb.add_option("--aux", r.command.auxText, "the auxiliary text (at most " + kTextLimit + " characters)");
    return {};
}

// The options that choose and print messages, shared by read and follow.
void AddSelection(CLI::App& verb, Reading& r, const char* lastName, const char* lastHelp)
{
    CtlCommand& c = r.command;
    verb.add_option(lastName, c.last, lastHelp);
    verb.add_option("--file", c.file,
                    "a log file that is not being served (a copy, or the file of a stopped service), read "
                    "without holding it");
    verb.add_option("--since", c.since,
                    "from this time on: YYYY-MM-DDThh:mm:ss[.mmm], today, yesterday, or -N followed by s, m, h or d");
    verb.add_option("--until", c.until, "up to this time, written as for --since");
    verb.add_flag("--utc", c.utc, "print and read times in UTC instead of local time");
    verb.add_option("--color", r.color, "colour the types: auto (on a console, unless NO_COLOR is set), always, never")
        ->check(CLI::IsMember({"auto", "always", "never"}));
    verb.add_option("--type", r.types, "only these types, for example 0,2");
    verb.add_option("--text", c.textPrefix, "only texts that match this filter (a prefix, ignoring case)");
    verb.add_option("--grep", c.grep, "only texts that contain a match of this regular expression");
    verb.add_option("--format", r.format, "text (default), json (one object a line) or csv")
        ->check(CLI::IsMember({"text", "json", "csv"}));
    verb.add_flag_callback(
        "--json", [&r] { r.format = "json"; }, "the same as --format json");
    verb.add_flag_callback(
        "--csv", [&r] { r.format = "csv"; }, "the same as --format csv");
}

void FinishSelection(Reading& r)
{
    CtlCommand& c = r.command;
    if (!r.types.empty())
        c.types = ParseTypeList(r.types);
    c.format = r.format == "json" ? Format::Json : r.format == "csv" ? Format::Csv : Format::Text;
    c.color = r.color == "always" ? ColorChoice::Always : r.color == "never" ? ColorChoice::Never : ColorChoice::Auto;
}

Finish ReadOptions(CLI::App& verb, Reading& r)
{
    AddSelection(verb, r, "-n,--last", "only the newest N messages");
    return [&r] { FinishSelection(r); };
}

Finish FollowOptions(CLI::App& verb, Reading& r)
{
    AddSelection(verb, r, "-n,--lines", "first print the newest N stored messages (10)");
    verb.add_option("--poll", r.command.pollMs, "milliseconds between looks at the log")
        ->check(CLI::Range(10u, 60000u));
    verb.add_option("--syslog", r.command.syslog, "also send each message as RFC 5424 syslog over UDP to HOST:PORT");
    return [&r] {
        FinishSelection(r);
        if (r.command.syslog)
            ZintarUtil::SplitHostPort(*r.command.syslog, "--syslog");
    };
}

Finish WebOptions(CLI::App& verb, Reading& r)
{
    CtlCommand& c = r.command;
    verb.add_option("--listen", c.listen, "ADDRESS:PORT to serve on (127.0.0.1:8080; port 0 picks a free one)");
    verb.add_flag("--open", c.openBrowser, "open the page in the default browser");
    verb.add_option("--file", c.file, "a log file that is not being served, read again as it changes");
    verb.add_flag("--utc", c.utc, "show times in UTC instead of local time");
    return [&r] { ParseListenAddress(r.command.listen); };
}

// zintarctl's verbs, one row each, in the order its help lists them: the verb, the words that call
// it (a group's word first), its line in the help, and its options (none when left out).
constexpr ZintarUtil::VerbRow<Verb, Reading> kVerbs[] = {
    {Verb::Status, "status", "the service's state, its settings and the log file's figures"},
    {Verb::SettingsGet, "settings get", "print the settings"},
    {Verb::SettingsSet, "settings set", "change settings; the service restarts to apply them", SettingsSetOptions},
    {Verb::FiltersList, "filters list", "print every filter"},
    {Verb::FiltersAdd, "filters add", "add a filter: include (the default) or --exclude", FiltersAddOptions},
    {Verb::FiltersClear, "filters clear", "remove every filter"},
    {Verb::LogFileGet, "logfile get", "print the path"},
    {Verb::LogFileSet, "logfile set", "move the log file there at the service's next stop", LogFileSetOptions},
    {Verb::LogFileDefault, "logfile default", "print the default path"},
    {Verb::Write, "write", "send a message to the log", WriteOptions},
    {Verb::Read, "read", "print the stored messages, oldest first", ReadOptions},
    {Verb::Follow, "follow", "print the newest stored messages, then new ones as they arrive, until Ctrl-C (also -f)",
     FollowOptions},
    {Verb::Web, "web", "show the log as a live page in the browser, until Ctrl-C", WebOptions},
};

// The groups of verbs, by the word that names them.
constexpr ZintarUtil::VerbGroup kGroups[] = {
    {"settings", "read or change the settings"},
    {"filters", "the service's text filters"},
    {"logfile", "the log file's path"},
};

}  // namespace

int StatusExitCode(ServiceState state, bool answered)
{
    switch (state) {
    case ServiceState::Running:
        return answered ? 0 : 1;
    case ServiceState::Stopped:
    case ServiceState::Pending:
    case ServiceState::NotInstalled:
        return 3;
    case ServiceState::Unknown:
        break;
    }
    return 1;
}

std::optional<CtlCommand> ParseCtlCommand(const std::vector<std::string>& args, std::string& help)
{
    Reading reading;
    CLI::App app{"zintarctl: reads the Tervan Log Server's log and controls the service", "zintarctl"};
    // "-f" is the short name of follow.
    std::vector<std::string> line = args;
    if (!line.empty() && line.front() == "-f")
        line.front() = "follow";
    const std::optional<Verb> verb = ZintarUtil::ParseVerbs(app, kVerbs, kGroups, reading, line, help);
    if (!verb)
        return std::nullopt;
    reading.command.verb = *verb;

    const CtlCommand& c = reading.command;
    if (c.text.size() >= ZintarUtil::kTextFieldSize || c.auxText.size() >= ZintarUtil::kTextFieldSize)
        throw UsageError("a message's text and auxiliary text hold at most " + kTextLimit + " characters");
    return c;
}

}  // namespace ZintarCtl
