#include "tools/zintar-fleet/MessageStore.h"

#include "util/TimeStamps.h"

namespace ZintarFleet {

namespace {

// pg_advisory_xact_lock's key for "a batch is being inserted": "zintar" in ASCII.
constexpr const char* kInsertLock = "SELECT pg_advisory_xact_lock(134468346683762)";

constexpr const char* kStaging =
    "CREATE TEMPORARY TABLE IF NOT EXISTS zintar_staging ("
    " host text, sequence bigint, digest text, generation bigint, type smallint, time timestamptz, aux text,"
    " text text) ON COMMIT DELETE ROWS";

// The staged rows into the table, and the hosts' counts by what was new.
constexpr const char* kInsertMessages =
    "WITH added AS ("
    " INSERT INTO zintar_message (host, sequence, digest, generation, type, time, aux, text)"
    " SELECT host, sequence, digest, generation, type, time, aux, text FROM zintar_staging"
    " ON CONFLICT DO NOTHING RETURNING host, time, received),"
    " hosts AS (INSERT INTO zintar_host AS h (host, messages, first_time, last_time, first_received, last_received)"
    " SELECT host, count(*), min(time), max(time), min(received), max(received) FROM added GROUP BY host"
    " ON CONFLICT (host) DO UPDATE SET messages = h.messages + excluded.messages,"
    " first_time = least(h.first_time, excluded.first_time), last_time = greatest(h.last_time, excluded.last_time),"
    " last_received = excluded.last_received RETURNING 1)"
    " SELECT (SELECT count(*) FROM added)";

constexpr const char* kInsertMessage =
    "WITH added AS ("
    " INSERT INTO zintar_message (host, sequence, digest, generation, type, time, aux, text)"
    " VALUES ($1, $2, $3, $4, $5, $6, $7, $8) ON CONFLICT DO NOTHING RETURNING host, time, received),"
    " hosts AS (INSERT INTO zintar_host AS h (host, messages, first_time, last_time, first_received, last_received)"
    " SELECT host, 1, time, time, received, received FROM added"
    " ON CONFLICT (host) DO UPDATE SET messages = h.messages + 1,"
    " first_time = least(h.first_time, excluded.first_time), last_time = greatest(h.last_time, excluded.last_time),"
    " last_received = excluded.last_received RETURNING 1)"
    " SELECT (SELECT count(*) FROM added)";

constexpr const char* kInsertGap =
    "INSERT INTO zintar_gap (host, generation, time, lost, exact, text) VALUES ($1, $2, $3, $4, $5, $6)"
    " ON CONFLICT DO NOTHING";

// A gap says its machine is alive, as a message does.
constexpr const char* kGapHost =
    "INSERT INTO zintar_host (host, messages, first_received, last_received) VALUES ($1, 0, now(), now())"
    " ON CONFLICT (host) DO UPDATE SET last_received = excluded.last_received";

constexpr const char* kMovePlace = "INSERT INTO zintar_spool_position (file, position) VALUES ($1, $2)"
                                   " ON CONFLICT (file) DO UPDATE SET position = excluded.position, updated = now()";

constexpr const char* kInsertRejected =
    "INSERT INTO zintar_rejected (peer, host, reason, line) VALUES ($1, $2, $3, $4)";

std::string Hex(const std::string& bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex = "\\x";
    for (unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

std::string DayText(std::int32_t day)
{
    // civil_from_days (Howard Hinnant), the inverse of DaysFromCivil.
    const int z = day + 719468;
    const int era = (z >= 0 ? z : z - 146096) / 146097;
    const int dayOfEra = z - era * 146097;
    const int yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int mp = (5 * dayOfYear + 2) / 153;
    const int d = dayOfYear - (153 * mp + 2) / 5 + 1;
    const int m = mp < 10 ? mp + 3 : mp - 9;
    const int y = yearOfEra + era * 400 + (m <= 2);
    ZintarUtil::TimeFields date{};
    date.year = static_cast<std::int16_t>(y);
    date.month = static_cast<std::int16_t>(m);
    date.day = static_cast<std::int16_t>(d);
    return ZintarUtil::TimeStampText(date, ' ', ZintarUtil::TimeStampEnd::Day);
}

void AppendMessageRow(std::string& rows, const IncomingMessage& m)
{
    const auto field = [&rows](const std::string& value, char end) {
        AppendCopyField(rows, value);
        rows += end;
    };
    field(m.host, '\t');
    field(std::to_string(m.sequence), '\t');
    field(m.digest, '\t');
    field(std::to_string(m.generation), '\t');
    field(std::to_string(m.type), '\t');
    field(m.time, '\t');
    field(m.aux, '\t');
    field(m.text, '\n');
}

}  // namespace

MessageStore::MessageStore(std::string conninfo, std::function<void(const std::string&)> diagnostic)
    : conninfo(std::move(conninfo)), diagnostic(std::move(diagnostic))
{
}

MessageStore::~MessageStore() = default;

Database& MessageStore::Connection()
{
    if (database && !database->IsConnected())
        database.reset();
    if (!database) {
        auto made = std::make_unique<Database>(conninfo, "zintar-fleet ingest");
        made->Execute(kStaging);
        database = std::move(made);
    }
    return *database;
}

void MessageStore::Rollback()
{
    try {
        if (database && database->IsConnected())
            database->Execute("ROLLBACK");
    } catch (const DatabaseError&) {
        database.reset();
    }
}

// Each new day gets its partition before its rows come, in a transaction of its own that waits at
// most 5 s for the table's lock (a long reader holds it): rows of a day whose partition could not be
// made go into the default partition, and move into the day's when it is made later.
void MessageStore::MakePartitions(const std::vector<IncomingRecord>& batch)
{
    std::set<std::int32_t> days;
    for (const IncomingRecord& record : batch)
        if (const auto* message = std::get_if<IncomingMessage>(&record))
            if (!partitionDays.contains(message->utcDay)) {
                days.insert(message->utcDay);
                days.insert(message->utcDay + 1);  // tomorrow's before midnight, while nothing waits on it
            }
    for (std::int32_t day : days) {
        if (partitionDays.contains(day))
            continue;
        Database& db = Connection();
        try {
            db.Execute("BEGIN; SET LOCAL lock_timeout = '5s'");
            const Rows made = db.Query("make_partition", "SELECT zintar_make_partition($1::date)", {DayText(day)});
            db.Execute("COMMIT");
            if (made.Text(0, 0) == "t")
                partitionDays.insert(day);
        } catch (const DatabaseError& error) {
            Rollback();
            if (error.IsConnectionLost())
                throw;
            diagnostic("The partition of " + DayText(day) + " could not be made now, its rows go into " +
                       "zintar_message_default meanwhile: " + error.GetMessageText());
        }
    }
}

void MessageStore::MovePlace(const SpoolPlace* place)
{
    if (place)
        Connection().Query("move_place", kMovePlace, {place->file, std::to_string(place->position)});
}

StoreCounts MessageStore::StoreAll(const std::vector<IncomingRecord>& batch, const SpoolPlace* place)
{
    Database& db = Connection();
    StoreCounts counts;
    std::string rows;
    std::uint64_t messages = 0;
    for (const IncomingRecord& record : batch)
        if (const auto* message = std::get_if<IncomingMessage>(&record)) {
            AppendMessageRow(rows, *message);
            ++messages;
        }
    db.Execute("BEGIN");
    if (messages > 0)
        db.CopyIn("COPY zintar_staging FROM STDIN", rows);
    db.Execute(kInsertLock);
    if (messages > 0) {
        counts.messages = static_cast<std::uint64_t>(db.Query("insert_messages", kInsertMessages).Integer(0, 0));
        counts.copies = messages - counts.messages;
    }
    for (const IncomingRecord& record : batch) {
        if (const auto* gap = std::get_if<IncomingGap>(&record))
            InsertGap(*gap, counts);
        else if (const auto* rejected = std::get_if<RejectedRecord>(&record))
            InsertRejected(*rejected, counts);
    }
    MovePlace(place);
    db.Execute("COMMIT");
    return counts;
}

// The slow way, for a batch the database refused a value of: each row in a savepoint of its own, and
// a refused one into zintar_rejected with the reason.
StoreCounts MessageStore::StoreEach(const std::vector<IncomingRecord>& batch, const SpoolPlace* place)
{
    Database& db = Connection();
    StoreCounts counts;
    db.Execute("BEGIN");
    db.Execute(kInsertLock);
    for (const IncomingRecord& record : batch) {
        db.Execute("SAVEPOINT one_row");
        try {
            if (const auto* m = std::get_if<IncomingMessage>(&record)) {
                const Rows added =
                    db.Query("insert_message", kInsertMessage,
                             {m->host, std::to_string(m->sequence), m->digest, std::to_string(m->generation),
                              std::to_string(m->type), m->time, m->aux, m->text});
                (added.Integer(0, 0) ? counts.messages : counts.copies) += 1;
            } else if (const auto* gap = std::get_if<IncomingGap>(&record)) {
                InsertGap(*gap, counts);
            } else {
                InsertRejected(std::get<RejectedRecord>(record), counts);
            }
            db.Execute("RELEASE SAVEPOINT one_row");
        } catch (const DatabaseError& error) {
            if (!error.IsDataError())
                throw;
            db.Execute("ROLLBACK TO SAVEPOINT one_row");
            const auto* m = std::get_if<IncomingMessage>(&record);
            const auto* gap = std::get_if<IncomingGap>(&record);
            const std::string host = m ? m->host : gap ? gap->host : std::string();
            const std::string reason = "PostgreSQL refused it: " + error.GetMessageText();
            diagnostic("A record of " + host + " was set aside into zintar_rejected: " + reason);
            const std::string& line = m ? m->line : gap ? gap->line : std::get<RejectedRecord>(record).line;
            InsertRejected(RejectedRecord{line.substr(0, line.find(' ')), host, reason, line}, counts);
        }
    }
    MovePlace(place);
    db.Execute("COMMIT");
    return counts;
}

void MessageStore::InsertGap(const IncomingGap& gap, StoreCounts& counts)
{
    Connection().Query("insert_gap", kInsertGap,
                       {gap.host, std::to_string(gap.generation), gap.time, std::to_string(gap.lost),
                        gap.exact ? "true" : "false", gap.text});
    Connection().Query("gap_host", kGapHost, {gap.host});
    ++counts.gaps;
}

void MessageStore::InsertRejected(const RejectedRecord& rejected, StoreCounts& counts)
{
    Connection().Query("insert_rejected", kInsertRejected,
                       {rejected.peer, rejected.host.empty() ? Parameter() : Parameter(rejected.host), rejected.reason,
                        Hex(rejected.line)});
    ++counts.rejected;
}

StoreCounts MessageStore::Store(const std::vector<IncomingRecord>& batch, const SpoolPlace* place)
{
    try {
        MakePartitions(batch);
        return StoreAll(batch, place);
    } catch (const DatabaseError& error) {
        Rollback();
        if (error.IsConnectionLost())
            database.reset();
        if (!error.IsDataError())
            throw;
    }
    try {
        return StoreEach(batch, place);
    } catch (const DatabaseError& error) {
        Rollback();
        if (error.IsConnectionLost())
            database.reset();
        throw;
    }
}

std::map<std::string, std::int64_t> MessageStore::SpoolPositions()
{
    const Rows rows = Connection().Query("positions", "SELECT file, position FROM zintar_spool_position");
    std::map<std::string, std::int64_t> positions;
    for (int row = 0; row < rows.Count(); ++row)
        positions[rows.Text(row, 0)] = rows.Integer(row, 1);
    return positions;
}

void MessageStore::ForgetSpoolFile(const std::string& file)
{
    Connection().Query("forget_place", "DELETE FROM zintar_spool_position WHERE file = $1", {file});
}

}  // namespace ZintarFleet
