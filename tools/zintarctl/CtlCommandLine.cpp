#include "CtlCommandLine.h"

#include "WebRequests.h"

#include <CLI/CLI.hpp>

#include <sstream>

#include "LogFileFormat.h"

namespace ZintarCtl {

using ZintarUtil::UsageError;

namespace {

// The characters of a message's text or auxiliary text, as help and refusals say it.
const std::string kTextLimit = std::to_string(ZintarUtil::kTextFieldSize - 1);

// Reads an option into an optional only when it was given.
template <class T>
void TakeIf(CLI::Option* option, const T& value, std::optional<T>& target)
{
    if (option->count() > 0)
        target = value;
}

void AddSelection(CLI::App* command, CtlCommand& c, std::string& types, std::string& format, std::string& color,
                  const char* lastName, const char* lastHelp)
{
    command->add_option(lastName, c.last, lastHelp);
    command->add_option("--file", c.file,
                        "a log file that is not being served (a copy, or the file of a stopped service), read "
                        "without holding it");
    command->add_option("--since", c.since,
                        "from this time on: YYYY-MM-DDThh:mm:ss[.mmm], today, yesterday, or -N followed by s, m, h or d");
    command->add_option("--until", c.until, "up to this time, written as for --since");
    command->add_flag("--utc", c.utc, "print and read times in UTC instead of local time");
    command->add_option("--color", color, "colour the types: auto (on a console, unless NO_COLOR is set), always, never")
        ->check(CLI::IsMember({"auto", "always", "never"}));
    command->add_option("--type", types, "only these types, for example 0,2");
    command->add_option("--text", c.textPrefix, "only texts that match this filter (a prefix, ignoring case)");
    command->add_option("--grep", c.grep, "only texts that contain a match of this regular expression");
    command->add_option("--format", format, "text (default), json (one object a line) or csv")
        ->check(CLI::IsMember({"text", "json", "csv"}));
    command->add_flag_callback("--json", [&format] { format = "json"; }, "the same as --format json");
    command->add_flag_callback("--csv", [&format] { format = "csv"; }, "the same as --format csv");
}

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
    CtlCommand c;
    std::string types, format = "text", color = "auto", typeFilter;
    std::uint32_t max = 0, poll = 0, save = 0;
    bool exclude = false;

    CLI::App app{"zintarctl: reads the Tervan Log Server's log and controls the service", "zintarctl"};
    app.require_subcommand(1);
    app.add_subcommand("status", "the service's state, its settings and the log file's figures")
        ->callback([&] { c.verb = Verb::Status; });

    CLI::App* settings = app.add_subcommand("settings", "read or change the settings")->require_subcommand(1);
    settings->add_subcommand("get", "print the settings")->callback([&] { c.verb = Verb::SettingsGet; });
    CLI::App* set = settings->add_subcommand("set", "change settings; the service restarts to apply them");
    CLI::Option* maxOption =
        set->add_option("--max", max, "messages the log keeps")->check(CLI::Range(1u, ZintarUtil::kMaxCapacity));
    CLI::Option* pollOption = set->add_option("--poll", poll, "milliseconds between polls of the driver");
    CLI::Option* saveOption = set->add_option("--save", save, "seconds between saves to disk");
    CLI::Option* typesOption = set->add_option("--types", typeFilter, "the types to keep, for example 0,1,2,3");
    set->callback([&] { c.verb = Verb::SettingsSet; });

    CLI::App* filters = app.add_subcommand("filters", "the service's text filters")->require_subcommand(1);
    filters->add_subcommand("list", "print every filter")->callback([&] { c.verb = Verb::FiltersList; });
    CLI::App* add = filters->add_subcommand("add", "add a filter: include (the default) or --exclude");
    add->add_option("text", c.text, "the filter: texts that begin with it, ignoring case, match")->required();
    add->add_flag("--exclude", exclude, "refuse matching texts instead of keeping only them");
    add->callback([&] { c.verb = Verb::FiltersAdd; });
    filters->add_subcommand("clear", "remove every filter")->callback([&] { c.verb = Verb::FiltersClear; });

    CLI::App* logfile = app.add_subcommand("logfile", "the log file's path")->require_subcommand(1);
    logfile->add_subcommand("get", "print the path")->callback([&] { c.verb = Verb::LogFileGet; });
    CLI::App* setPath = logfile->add_subcommand("set", "move the log file there at the service's next stop");
    setPath->add_option("path", c.text, "the new path, as the service sees it")->required();
    setPath->callback([&] { c.verb = Verb::LogFileSet; });
    logfile->add_subcommand("default", "print the default path")->callback([&] { c.verb = Verb::LogFileDefault; });

    CLI::App* write = app.add_subcommand("write", "send a message to the log");
    const std::uint32_t highestType = ZintarUtil::kMessageTypes - 1;
    write->add_option("--type", c.type, "0 to " + std::to_string(highestType))->check(CLI::Range(0u, highestType));
    write->add_option("--text", c.text, "the text (at most " + kTextLimit + " characters)")->required();
    write->add_option("--aux", c.auxText, "the auxiliary text (at most " + kTextLimit + " characters)");
    write->callback([&] { c.verb = Verb::Write; });

    CLI::App* read = app.add_subcommand("read", "print the stored messages, oldest first");
    AddSelection(read, c, types, format, color, "-n,--last", "only the newest N messages");
    read->callback([&] { c.verb = Verb::Read; });
    CLI::App* follow = app.add_subcommand(
        "follow", "print the newest stored messages, then new ones as they arrive, until Ctrl-C (also -f)");
    AddSelection(follow, c, types, format, color, "-n,--lines", "first print the newest N stored messages (10)");
    follow->add_option("--poll", c.pollMs, "milliseconds between looks at the log")->check(CLI::Range(10u, 60000u));
    follow->add_option("--syslog", c.syslog, "also send each message as RFC 5424 syslog over UDP to HOST:PORT");
    follow->callback([&] { c.verb = Verb::Follow; });
    CLI::App* web = app.add_subcommand("web", "show the log as a live page in the browser, until Ctrl-C");
    web->add_option("--listen", c.listen, "ADDRESS:PORT to serve on (127.0.0.1:8080; port 0 picks a free one)");
    web->add_flag("--open", c.openBrowser, "open the page in the default browser");
    web->add_option("--file", c.file, "a log file that is not being served, read again as it changes");
    web->add_flag("--utc", c.utc, "show times in UTC instead of local time");
    web->callback([&] { c.verb = Verb::Web; });

    // CLI11 takes the arguments last first; "-f" is the short name of follow.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    if (!reversed.empty() && reversed.back() == "-f")
        reversed.back() = "follow";
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        help = app.help();  // the help of the command that asked for it
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what());
    }

    TakeIf(maxOption, max, c.maxMessage);
    TakeIf(pollOption, poll, c.devicePollRate);
    TakeIf(saveOption, save, c.saveRate);
    if (typesOption->count() > 0)
        c.typeFilter = ParseTypeList(typeFilter);
    if (c.verb == Verb::SettingsSet && !c.maxMessage && !c.devicePollRate && !c.saveRate && !c.typeFilter)
        throw UsageError("settings set needs at least one of --max, --poll, --save and --types");
    if (!types.empty())
        c.types = ParseTypeList(types);
    c.format = format == "json" ? Format::Json : format == "csv" ? Format::Csv : Format::Text;
    c.color = color == "always" ? ColorChoice::Always : color == "never" ? ColorChoice::Never : ColorChoice::Auto;
    c.include = !exclude;
    if (c.syslog)
        ZintarUtil::SplitHostPort(*c.syslog, "--syslog");
    if (c.verb == Verb::Web)
        ParseListenAddress(c.listen);
    if (c.text.size() >= ZintarUtil::kTextFieldSize || c.auxText.size() >= ZintarUtil::kTextFieldSize)
        throw UsageError("a message's text and auxiliary text hold at most " + kTextLimit + " characters");
    return c;
}

}  // namespace ZintarCtl
