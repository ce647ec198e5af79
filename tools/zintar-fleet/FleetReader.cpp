#include "tools/zintar-fleet/FleetReader.h"

#include <algorithm>
#include <iostream>

#include <libpq-fe.h>

namespace ZintarFleet {

namespace {

constexpr const char* kReaderRole = "zintar_reader";
constexpr int kFetchRows = 1000;

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<std::int64_t> Optional(const Rows& rows, int row, int column)
{
    return rows.IsNull(row, column) ? std::nullopt : std::optional<std::int64_t>(rows.Integer(row, column));
}

}  // namespace

FleetRow RowAt(const Rows& rows, int i)
{
    FleetRow row;
    row.timeMs = rows.Integer(i, kTimeMs);
    row.host = rows.Text(i, kHost);
    row.gap = rows.Text(i, kIsGap) == "t";
    row.type = static_cast<int>(rows.Integer(i, kType));
    row.sequence = rows.Integer(i, kSequence);
    row.generation = rows.Integer(i, kGeneration);
    row.lost = rows.Integer(i, kLost);
    row.aux = rows.Text(i, kAux);
    row.text = rows.Text(i, kText);
    row.id = rows.Integer(i, kId);
    return row;
}

Rows RunStatement(Database& db, const Statement& statement)
{
    return db.Query(statement.name, statement.sql, statement.parameters);
}

namespace {

// Prints rows, the host column as wide as the longest host name stored (or printed).
class RowPrinter {
public:
    RowPrinter(Database& db, std::ostream& out, const FleetCommand& command) : out(out), command(command)
    {
        if (command.format == FleetFormat::Short)
            width = static_cast<std::size_t>(RunStatement(db, HostWidthStatement()).Integer(0, 0));
        if (!FleetRowHeader(command.format).empty())
            out << FleetRowHeader(command.format) << '\n';
    }

    void operator()(const FleetRow& row)
    {
        width = std::max(width, row.host.size());
        out << FleetRowLine(row, command.format, command.utc, width) << '\n';
    }

private:
    std::ostream& out;
    const FleetCommand& command;
    std::size_t width = 0;
};

}  // namespace

std::string ReaderConninfo(const std::string& conninfo, const char* pgUser)
{
    if (pgUser && *pgUser)
        return conninfo;
    if (!conninfo.empty()) {
        char* error = nullptr;
        PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
        PQfreemem(error);
        if (!options)
            return conninfo;  // libpq says what is wrong with it when it connects
        bool namesUser = false;
        for (const PQconninfoOption* option = options; option->keyword; ++option)
            if (std::string(option->keyword) == "user" && option->val && *option->val)
                namesUser = true;
        PQconninfoFree(options);
        if (namesUser)
            return conninfo;
    }
    if (conninfo.starts_with("postgresql://") || conninfo.starts_with("postgres://"))
        return conninfo + (conninfo.find('?') == std::string::npos ? "?" : "&") + "user=" + kReaderRole;
    return conninfo + (conninfo.empty() ? "" : " ") + "user=" + kReaderRole;
}

std::unique_ptr<Database> ConnectReader(const std::string& conninfo, std::chrono::seconds timeout)
{
    auto db = std::make_unique<Database>(ReaderConninfo(conninfo, std::getenv("PGUSER")), "zintar-fleet");
    // Constant settings, no values of the user's: a statement that runs longer ends with an error,
    // and the session could change nothing even with a role that may.
    db->Execute("SET statement_timeout = '" + std::to_string(timeout.count()) +
                "s'; SET default_transaction_read_only = on");
    return db;
}

std::vector<HostFigures> QueryHosts(Database& db)
{
    const Rows rows = RunStatement(db, HostsStatement());
    std::vector<HostFigures> hosts;
    for (int i = 0; i < rows.Count(); ++i) {
        HostFigures h;
        h.host = rows.Text(i, kHostName);
        h.messages = rows.Integer(i, kMessages);
        h.firstMs = Optional(rows, i, kFirstMs);
        h.lastMs = Optional(rows, i, kLastMs);
        h.receivedMs = Optional(rows, i, kReceivedMs);
        h.silentSeconds = Optional(rows, i, kSilentSeconds);
        h.lastHour = rows.Integer(i, kLastHour);
        h.gaps = rows.Integer(i, kGaps);
        h.lost = rows.Integer(i, kLostInDay);
        h.uncounted = rows.Integer(i, kUncountedInDay);
        hosts.push_back(std::move(h));
    }
    return hosts;
}

int RunHosts(Database& db, const FleetCommand& command, std::ostream& out)
{
    out << HostsText(QueryHosts(db), command.format, command.utc, command.quietAfter);
    return 0;
}

int RunRead(Database& db, const FleetCommand& command, std::ostream& out)
{
    const FleetFilter filter = FilterOf(command, NowMs());
    RowPrinter print(db, out, command);
    if (command.last) {
        const Rows rows = RunStatement(db, ReadStatement(filter, command.last));
        for (int i = rows.Count() - 1; i >= 0; --i)
            print(RowAt(rows, i));
        return 0;
    }
    // Everything selected, oldest first, through a cursor: a page of rows in memory at a time,
    // each fetch within the statement timeout.
    const Statement all = ReadStatement(filter, std::nullopt);
    db.Execute("BEGIN READ ONLY");
    db.Query(all.name + "_cursor", "DECLARE fleet_rows NO SCROLL CURSOR FOR " + all.sql, all.parameters);
    for (;;) {
        const Rows rows = db.Query("fleet_fetch", "FETCH " + std::to_string(kFetchRows) + " FROM fleet_rows");
        for (int i = 0; i < rows.Count(); ++i)
            print(RowAt(rows, i));
        if (rows.Count() < kFetchRows)
            break;
    }
    db.Execute("COMMIT");
    return 0;
}

CheckResult RunCheck(const FleetCommand& command)
{
    try {
        const std::unique_ptr<Database> db = ConnectReader(command.db, std::chrono::seconds(10));
        const std::vector<HostFigures> hosts = QueryHosts(*db);
        const Rows counts = RunStatement(*db, RejectedStatement());
        return DecideCheck(hosts, counts.Integer(0, 0), {command.quietAfter, command.maxGap, command.maxLag},
                           counts.Integer(0, 1));
    } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
        return UnknownCheck(e.GetFullMessage(": "));
    }
}

FleetFollower::FleetFollower(Database& db, FleetFilter filter) : db(&db), filter(std::move(filter)) {}

std::vector<FleetRow> FleetFollower::Start(std::uint32_t count)
{
    const Rows newest = RunStatement(*db, NewestIdsStatement());
    messageCursor = newest.Integer(0, 0);
    gapCursor = newest.Integer(0, 1);
    std::vector<FleetRow> rows;
    if (count == 0)
        return rows;
    const Rows last = RunStatement(*db, ReadStatement(filter, count, messageCursor, gapCursor));
    for (int i = last.Count() - 1; i >= 0; --i)
        rows.push_back(RowAt(last, i));
    return rows;
}

std::vector<FleetRow> FleetFollower::Poll()
{
    const Rows newest = RunStatement(*db, NewestIdsStatement());
    const std::int64_t messagesUpTo = std::min<std::int64_t>(newest.Integer(0, 0), messageCursor + kPollRows);
    const std::int64_t gapsUpTo = std::min<std::int64_t>(newest.Integer(0, 1), gapCursor + kPollRows);
    std::vector<FleetRow> rows;
    if (messagesUpTo <= messageCursor && gapsUpTo <= gapCursor)
        return rows;
    const Rows added =
        RunStatement(*db, StoredAfterStatement(filter, messageCursor, messagesUpTo, gapCursor, gapsUpTo));
    for (int i = 0; i < added.Count(); ++i)
        rows.push_back(RowAt(added, i));
    messageCursor = std::max(messageCursor, messagesUpTo);
    gapCursor = std::max(gapCursor, gapsUpTo);
    return rows;
}

int RunFollow(const std::string& conninfo, const FleetCommand& command, std::ostream& out,
              const std::function<bool()>& waitForNext)
{
    constexpr std::chrono::seconds kTimeout{30};
    std::unique_ptr<Database> db = ConnectReader(conninfo, kTimeout);
    FleetFollower follower(*db, FilterOf(command, NowMs()));
    RowPrinter print(*db, out, command);
    for (const FleetRow& row : follower.Start(command.last.value_or(10)))
        print(row);
    out.flush();
    bool broken = false;
    while (waitForNext()) {
        try {
            if (broken) {
                db = ConnectReader(conninfo, kTimeout);
                follower.Reattach(*db);
                std::cerr << "zintar-fleet: connected again, going on where it stopped\n";
                broken = false;
            }
            for (const FleetRow& row : follower.Poll())
                print(row);
            out.flush();
        } catch (const DatabaseError& error) {
            if (!error.IsConnectionLost() && db->IsConnected())
                throw;
            if (!broken)
                std::cerr << "zintar-fleet: " << error.GetFullMessage(": ") << "; trying again\n";
            broken = true;
        }
    }
    return 0;
}

}  // namespace ZintarFleet
