#include "tools/zintar-fleet/FleetCommandLine.h"

#include <array>
#include <charconv>

#include "util/CommandLineParse.h"
#include "util/CommandLineValues.h"
#include "util/http/HttpAddress.h"

namespace ZintarFleet {

namespace {

constexpr std::chrono::seconds kDay{24 * 3600};

struct VerbRow {
    FleetVerb verb;
    const char* name;
    const char* help;
};

// One row per verb, in the order the help lists them.
constexpr std::array kVerbs = {
    VerbRow{FleetVerb::Ingest, "ingest",
            "store what rsyslog writes into its spool, until stopped (a service of the collector)"},
    VerbRow{FleetVerb::Retention, "retention", "drop the stored messages older than --keep, whole days at a time"},
    VerbRow{FleetVerb::Hosts, "hosts",
            "one line per machine: messages stored, first and last message, last received, the last hour, gaps "
            "in 24 h, state (active, quiet, gap)"},
    VerbRow{FleetVerb::Read, "read", "print the fleet's stored messages, oldest first, gaps where they happened"},
    VerbRow{FleetVerb::Follow, "follow",
            "print the newest messages, then each one the collector stores, in the order it stores them, until "
            "Ctrl-C (also -f)"},
    VerbRow{FleetVerb::Check, "check",
            "a monitoring plugin (Nagios, Icinga): one status line with perfdata; exit 0 OK, 1 WARNING (hosts "
            "quiet), 2 CRITICAL (messages lost, the collector stalled), 3 UNKNOWN (no database)"},
    VerbRow{FleetVerb::Web, "web",
            "the fleet as a page in the browser: hosts and their states, a chart, the messages, live; "
            "127.0.0.1:8090 unless --listen says otherwise (beyond loopback only over HTTPS with a login)"},
    VerbRow{FleetVerb::AddUser, "adduser",
            "add a user of the page (or change a password) in --users: the password is read from the terminal "
            "without echo, or from standard input"},
};

// What the reading verbs' options hold as typed, until they are checked into the command.
struct ReadingOptions {
    std::string types, format = "short", quietAfter = "15m", maxLag = "15m";
};

void AddSelection(CLI::App& verb, FleetCommand& command, ReadingOptions& options, bool follow)
{
    verb.add_option("--host", command.hosts,
                    "only this machine; repeat it for several; * and ? make a pattern (\"line*\")");
    verb.add_option("--since", command.since,
                    "from this time on: YYYY-MM-DDThh:mm:ss[.mmm], today, yesterday, or -N followed by s, m, h or d");
    verb.add_option("--until", command.until, "up to this time, written as for --since");
    verb.add_option("--type", options.types, "only these types, for example 0,2");
    verb.add_option("--grep", command.grep, "only texts that contain this, ignoring case (plain text, no pattern)");
    verb.add_option("-n,--last", command.last,
                    follow ? "first print the newest N stored messages (10)" : "only the newest N messages");
    verb.add_option("-o,--format", options.format, "short (default), json (one object a line) or csv")
        ->check(CLI::IsMember({"short", "json", "csv"}));
    verb.add_flag("--utc", command.utc, "print and read times in UTC instead of local time");
}

std::chrono::seconds DurationOption(const std::string& option, const std::string& text)
{
    const std::optional<std::chrono::seconds> duration = ParseDuration(text);
    if (!duration)
        throw ZintarUtil::UsageError(option + ": '" + text + "' is not a duration (90s, 15m, 2h, 1d)");
    return *duration;
}

void AddDatabaseOption(CLI::App& verb, FleetCommand& command, bool reads)
{
    verb.add_option("--db", command.db,
                    std::string("the database: a conninfo string or URI (\"host=... dbname=zintar user=...\"); what "
                                "it leaves out comes from PGHOST, PGPORT, PGDATABASE, PGUSER and ~/.pgpass") +
                        (reads ? "; the role is zintar_reader unless it or PGUSER names another" : ""));
}

}  // namespace

std::optional<std::chrono::seconds> ParseDuration(const std::string& text)
{
    if (text.size() < 2)
        return std::nullopt;
    long long count = 0;
    const char* end = text.data() + text.size() - 1;
    const auto [stop, error] = std::from_chars(text.data(), end, count);
    if (error != std::errc() || stop != end || count <= 0)
        return std::nullopt;
    long long unit;
    switch (text.back()) {
    case 's':
        unit = 1;
        break;
    case 'm':
        unit = 60;
        break;
    case 'h':
        unit = 3600;
        break;
    case 'd':
        unit = 86400;
        break;
    case 'w':
        unit = 7 * 86400;
        break;
    default:
        return std::nullopt;
    }
    constexpr long long kMaxSeconds = 100LL * 366 * 86400;
    if (count > kMaxSeconds / unit)
        return std::nullopt;
    return std::chrono::seconds(count * unit);
}

std::optional<FleetCommand> ParseFleetCommand(const std::vector<std::string>& args, std::string& help)
{
    CLI::App app("zintar-fleet: the collector's store of the fleet's zintar messages", "zintar-fleet");
    app.require_subcommand(1);
    FleetCommand command;
    std::string keep;
    ReadingOptions options;
    for (const VerbRow& row : kVerbs) {
        CLI::App* verb = app.add_subcommand(row.name, row.help);
        verb->callback([&command, row] { command.verb = row.verb; });
        if (row.verb != FleetVerb::AddUser)
            AddDatabaseOption(*verb, command, row.verb != FleetVerb::Ingest && row.verb != FleetVerb::Retention);
        if (row.verb == FleetVerb::Web) {
            verb->add_option("--listen", command.listen,
                             "ADDRESS:PORT to listen on (127.0.0.1:8090); an address beyond loopback needs --cert, "
                             "--key and --users")
                ->check([](const std::string& text) {
                    try {
                        ZintarHttp::ParseListenAddress(text);
                        return std::string();
                    } catch (const ZintarUtil::UsageError& e) {
                        return std::string(e.what());
                    }
                });
            verb->add_option("--cert", command.cert, "the certificate chain (PEM) for HTTPS");
            verb->add_option("--key", command.key, "its private key (PEM)");
            verb->add_option("--quiet-after", options.quietAfter,
                             "a machine that sent nothing for this long is quiet (15m)");
        }
        if (row.verb == FleetVerb::Web || row.verb == FleetVerb::AddUser)
            verb->add_option("--users", command.users,
                             "the file of the page's users and password hashes (/etc/zintar-collector/web-users)");
        if (row.verb == FleetVerb::AddUser)
            verb->add_option("NAME", command.userName, "the user's name")->required();
        if (row.verb == FleetVerb::Retention) {
            verb->add_option("--keep", keep, "how long to keep messages: 30d, 4w, ... (at least 1d)")->required();
            verb->add_flag("--dry-run", command.dryRun, "say what would be dropped, drop nothing");
        }
        if (row.verb == FleetVerb::Ingest)
            verb->add_option("--spool", command.spool,
                             "the folder where rsyslog writes the records it takes "
                             "(/var/spool/rsyslog-zintar/records)");
        if (row.verb == FleetVerb::Read || row.verb == FleetVerb::Follow)
            AddSelection(*verb, command, options, row.verb == FleetVerb::Follow);
        if (row.verb == FleetVerb::Hosts || row.verb == FleetVerb::Check)
            verb->add_option("--quiet-after", options.quietAfter,
                             "a machine that sent nothing for this long is quiet (15m)");
        if (row.verb == FleetVerb::Hosts)
            verb->add_option("-o,--format", options.format, "short (default), json (one object a line) or csv")
                ->check(CLI::IsMember({"short", "json", "csv"}));
        if (row.verb == FleetVerb::Check) {
            verb->add_option("--max-gap", command.maxGap,
                             "critical when more messages than this were lost in the last 24 h (0); any loss up "
                             "to it warns");
            verb->add_option("--max-lag", options.maxLag,
                             "critical when the collector stored nothing from any machine for this long (15m)");
        }
    }
    // "-f" in the first place is follow, as in zintarctl.
    std::vector<std::string> line = args;
    if (!line.empty() && line.front() == "-f")
        line.front() = "follow";
    if (!ZintarUtil::ParseArguments(app, line, help))
        return std::nullopt;
    if (!options.types.empty())
        command.types = ZintarUtil::ParseTypeList(options.types);
    command.format = options.format == "json"  ? FleetFormat::Json
                     : options.format == "csv" ? FleetFormat::Csv
                                               : FleetFormat::Short;
    command.quietAfter = DurationOption("--quiet-after", options.quietAfter);
    command.maxLag = DurationOption("--max-lag", options.maxLag);
    if (command.cert.has_value() != command.key.has_value())
        throw ZintarUtil::UsageError("--cert and --key go together: HTTPS needs both");
    if (command.verb == FleetVerb::Retention) {
        const std::optional<std::chrono::seconds> duration = ParseDuration(keep);
        if (!duration || *duration < kDay)
            throw ZintarUtil::UsageError("--keep: '" + keep + "' is not a duration of at least a day (30d, 4w, 720h)");
        command.keep = *duration;
    }
    return command;
}

}  // namespace ZintarFleet
