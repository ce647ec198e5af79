#include "tools/zintar-fleet/FleetCommandLine.h"

#include <array>
#include <charconv>

#include "util/CommandLineParse.h"

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
            "store what rsyslog's omprog hands over on standard input (run by rsyslog, not by hand)"},
    VerbRow{FleetVerb::Retention, "retention", "drop the stored messages older than --keep, whole days at a time"},
};

void AddDatabaseOption(CLI::App& verb, FleetCommand& command)
{
    verb.add_option("--db", command.db,
                    "the database: a conninfo string or URI (\"host=... dbname=zintar user=...\"); what it "
                    "leaves out comes from PGHOST, PGPORT, PGDATABASE, PGUSER and ~/.pgpass");
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
    for (const VerbRow& row : kVerbs) {
        CLI::App* verb = app.add_subcommand(row.name, row.help);
        verb->callback([&command, row] { command.verb = row.verb; });
        AddDatabaseOption(*verb, command);
        if (row.verb == FleetVerb::Retention) {
            verb->add_option("--keep", keep, "how long to keep messages: 30d, 4w, ... (at least 1d)")->required();
            verb->add_flag("--dry-run", command.dryRun, "say what would be dropped, drop nothing");
        }
        if (row.verb == FleetVerb::Ingest)
            verb->add_option("--journal", command.journal,
                             "where the loader keeps the records it answered until they are stored "
                             "(/var/spool/rsyslog-zintar/loader)");
    }
    if (!ZintarUtil::ParseArguments(app, args, help))
        return std::nullopt;
    if (command.verb == FleetVerb::Retention) {
        const std::optional<std::chrono::seconds> duration = ParseDuration(keep);
        if (!duration || *duration < kDay)
            throw ZintarUtil::UsageError("--keep: '" + keep + "' is not a duration of at least a day (30d, 4w, 720h)");
        command.keep = *duration;
    }
    return command;
}

}  // namespace ZintarFleet
