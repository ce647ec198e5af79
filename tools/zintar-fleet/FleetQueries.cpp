#include "tools/zintar-fleet/FleetQueries.h"

#include <functional>

#include "tools/zintar-fleet/FleetOutput.h"
#include "util/TimeStamps.h"

namespace ZintarFleet {

using ZintarUtil::UsageError;

namespace {

// A time in milliseconds as PostgreSQL reads a timestamptz: UTC, with its offset.
std::string TimestampParameter(std::int64_t ms)
{
    return ZintarUtil::TimeStampText(FieldsOfEpochMs(ms, true)) + "+00";
}

std::int64_t TimeOption(const std::string& option, const std::string& text, std::int64_t nowMs, bool utc)
{
    const std::optional<ZintarUtil::TimeFields> time = ZintarUtil::ParseTimeOrWord(text, FieldsOfEpochMs(nowMs, utc));
    if (!time)
        throw UsageError(option +
                         " needs YYYY-MM-DDThh:mm:ss[.mmm], today, yesterday or -N followed by s, m, h or d, not '" +
                         text + "'");
    return EpochMsOf(*time, utc);
}

// A statement's WHERE clauses and its parameters, numbered as they are added.
class Conditions {
public:
    explicit Conditions(std::vector<std::optional<std::string>>& parameters) : parameters(parameters) {}

    std::string Parameter(std::string value)
    {
        parameters.emplace_back(std::move(value));
        return "$" + std::to_string(parameters.size());
    }
    void Add(const std::string& condition) { text += (text.empty() ? " WHERE " : " AND ") + condition; }
    const std::string& Text() const { return text; }

private:
    std::vector<std::optional<std::string>>& parameters;
    std::string text;
};

// The conditions both tables share (hosts, time), their parameters added once and used by both.
struct SharedConditions {
    std::string hosts, since, until;
};

SharedConditions AddShared(const FleetFilter& filter, Conditions& conditions)
{
    SharedConditions shared;
    std::string names, patterns;
    if (!filter.names.empty())
        names = "host = ANY(" + conditions.Parameter(TextArrayLiteral(filter.names)) + "::text[])";
    if (!filter.patterns.empty())
        patterns = "host LIKE ANY(" + conditions.Parameter(TextArrayLiteral(filter.patterns)) + "::text[])";
    shared.hosts = names.empty() || patterns.empty() ? names + patterns : "(" + names + " OR " + patterns + ")";
    if (filter.sinceMs)
        shared.since = "time >= " + conditions.Parameter(TimestampParameter(*filter.sinceMs)) + "::timestamptz";
    if (filter.untilMs)
        shared.until = "time <= " + conditions.Parameter(TimestampParameter(*filter.untilMs)) + "::timestamptz";
    return shared;
}

void Apply(const SharedConditions& shared, Conditions& table)
{
    for (const std::string* condition : {&shared.hosts, &shared.since, &shared.until})
        if (!condition->empty())
            table.Add(*condition);
}

// What only messages are selected by: types and text. Gaps are shown whatever these say: the
// messages they lost could have been any of those selected.
void ApplyMessageOnly(const FleetFilter& filter, Conditions& shared, Conditions& messages)
{
    if ((filter.types & 0xF) != 0xF) {
        std::string list;
        for (int type = 0; type < 4; ++type)
            if (filter.types & (1u << type))
                list += (list.empty() ? "" : ",") + std::to_string(type);
        messages.Add("type = ANY(" + shared.Parameter("{" + list + "}") + "::smallint[])");
    }
    if (filter.grep)
        messages.Add("text ILIKE " + shared.Parameter(*filter.grep));
}

// Messages and gaps in the columns of MessageColumn. A message's `lost` and a gap's `type` and
// `sequence` are NULL. Each table's part (its conditions, and an order and limit of its own) is in
// parentheses.
std::string UnionOf(const std::string& messagePart, const std::string& gapPart)
{
    return "SELECT floor(extract(epoch FROM r.time) * 1000)::bigint, r.host, r.gap, r.type, r.sequence, "
           "r.generation, r.lost, r.aux, r.text, r.id FROM (("
           "SELECT time, host, false AS gap, type, sequence, generation, NULL::bigint AS lost, aux, text, id "
           "FROM zintar_message" +
           messagePart +
           ") UNION ALL ("
           "SELECT time, host, true, NULL::smallint, NULL::bigint, generation, lost, ''::text, text, id "
           "FROM zintar_gap" +
           gapPart + ")) r";
}

Statement Named(Statement statement)
{
    statement.name = "fleet_" + std::to_string(std::hash<std::string>{}(statement.sql));
    return statement;
}

// The filter's conditions on both sides of the union of messages and gaps, their parameters in
// `statement`, which must outlive them.
struct UnionConditions {
    UnionConditions(const FleetFilter& filter, Statement& statement)
        : shared(statement.parameters), messages(statement.parameters), gaps(statement.parameters)
    {
        const SharedConditions common = AddShared(filter, shared);
        Apply(common, messages);
        Apply(common, gaps);
        ApplyMessageOnly(filter, shared, messages);
    }
    Conditions shared, messages, gaps;
};

}  // namespace

bool IsHostPattern(std::string_view host)
{
    return host.find_first_of("*?") != std::string_view::npos;
}

std::string LikeOfGlob(std::string_view glob)
{
    std::string like;
    for (char c : glob) {
        if (c == '%' || c == '_' || c == '\\')
            like += '\\';
        like += c == '*' ? '%' : c == '?' ? '_' : c;
    }
    return like;
}

std::string LikeOfSubstring(std::string_view text)
{
    std::string like = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\')
            like += '\\';
        like += c;
    }
    return like + "%";
}

std::string TextArrayLiteral(const std::vector<std::string>& values)
{
    std::string literal = "{";
    for (const std::string& value : values) {
        literal += literal.size() > 1 ? ",\"" : "\"";
        for (char c : value) {
            if (c == '"' || c == '\\')
                literal += '\\';
            literal += c;
        }
        literal += '"';
    }
    return literal + "}";
}

FleetFilter FilterOf(const FleetCommand& command, std::int64_t nowMs)
{
    FleetFilter filter;
    for (const std::string& host : command.hosts) {
        if (host.empty())
            throw UsageError("--host needs a machine's name or a pattern such as 'line*'");
        if (IsHostPattern(host))
            filter.patterns.push_back(LikeOfGlob(host));
        else
            filter.names.push_back(host);
    }
    if (command.since)
        filter.sinceMs = TimeOption("--since", *command.since, nowMs, command.utc);
    if (command.until)
        filter.untilMs = TimeOption("--until", *command.until, nowMs, command.utc);
    if (filter.sinceMs && filter.untilMs && *filter.untilMs < *filter.sinceMs)
        throw UsageError("--until is before --since: the range holds nothing");
    filter.types = command.types;
    if (command.grep) {
        if (command.grep->empty())
            throw UsageError("--grep needs the text to look for");
        if (command.grep->find('\0') != std::string::npos)
            throw UsageError("--grep: a text holds no NUL");
        filter.grep = LikeOfSubstring(*command.grep);
    }
    return filter;
}

Statement ReadStatement(const FleetFilter& filter, std::optional<std::uint32_t> newest,
                        std::optional<std::int64_t> maxMessageId, std::optional<std::int64_t> maxGapId)
{
    Statement statement;
    UnionConditions where(filter, statement);
    auto& [shared, messages, gaps] = where;
    if (maxMessageId)
        messages.Add("id <= " + shared.Parameter(std::to_string(*maxMessageId)) + "::bigint");
    if (maxGapId)
        gaps.Add("id <= " + shared.Parameter(std::to_string(*maxGapId)) + "::bigint");
    // Gaps sort after the messages of the same time and host (their sequence is NULL): the orders
    // are those of the (time, host, sequence) index, read forwards or backwards.
    if (newest) {
        // Each table's newest N first: over a union of the partitioned table and the gaps PostgreSQL
        // merges no ordered index scans and would sort every selected row (all of a frequent --grep).
        const std::string limit = " LIMIT " + shared.Parameter(std::to_string(*newest)) + "::bigint";
        statement.sql = UnionOf(messages.Text() + " ORDER BY time DESC, host DESC, sequence DESC" + limit,
                                gaps.Text() + " ORDER BY time DESC, host DESC" + limit) +
                        " ORDER BY r.time DESC, r.host DESC, r.sequence DESC" + limit;
    } else
        statement.sql = UnionOf(messages.Text(), gaps.Text()) + " ORDER BY r.time, r.host, r.sequence";
    return Named(std::move(statement));
}

Statement PageStatement(const FleetFilter& filter, std::uint32_t count, const std::optional<PageKey>& before,
                        const StoreCursor& upTo)
{
    Statement statement;
    UnionConditions where(filter, statement);
    auto& [shared, messages, gaps] = where;
    messages.Add("id <= " + shared.Parameter(std::to_string(upTo.messages)) + "::bigint");
    gaps.Add("id <= " + shared.Parameter(std::to_string(upTo.gaps)) + "::bigint");
    if (before) {
        // The key's time in whole microseconds, the store's own precision, so that a page ends
        // exactly where the next begins.
        const std::string time = "('epoch'::timestamptz + " + shared.Parameter(std::to_string(before->timeUs)) +
                                 "::bigint * interval '1 microsecond')";
        const std::string rest = shared.Parameter(before->host) + "::text, " +
                                 shared.Parameter(std::to_string(before->sequence)) + "::bigint, " +
                                 shared.Parameter(std::to_string(before->id)) + "::bigint)";
        messages.Add("(time, host, sequence, id) < (" + time + ", " + rest);
        gaps.Add("time <= " + time);
        gaps.Add("(time, host, " + std::to_string(kGapSequence) + "::bigint, id) < (" + time + ", " + rest);
    }
    // Each table's newest `count` first, as in ReadStatement: so the partitions' index scans merge.
    const std::string limit = " LIMIT " + shared.Parameter(std::to_string(count)) + "::bigint";
    statement.sql =
        "SELECT floor(extract(epoch FROM r.time) * 1000)::bigint, r.host, r.gap, r.type, r.sequence, "
        "r.generation, r.lost, r.aux, r.text, r.id, (extract(epoch FROM r.time) * 1000000)::bigint, r.sort FROM (("
        "SELECT time, host, false AS gap, type, sequence, sequence AS sort, generation, NULL::bigint AS lost, aux, "
        "text, id FROM zintar_message" +
        messages.Text() + " ORDER BY time DESC, host DESC, sequence DESC, id DESC" + limit +
        ") UNION ALL ("
        "SELECT time, host, true, NULL::smallint, NULL::bigint, " +
        std::to_string(kGapSequence) + "::bigint, generation, lost, ''::text, text, id FROM zintar_gap" + gaps.Text() +
        " ORDER BY time DESC, host DESC, id DESC" + limit +
        ")) r ORDER BY r.time DESC, r.host DESC, r.sort DESC, r.id DESC" + limit;
    return Named(std::move(statement));
}

Statement ChartStatement(const FleetFilter& filter, const std::string& bucket, bool byHost, std::uint32_t limit)
{
    Statement statement;
    Conditions shared(statement.parameters), messages(statement.parameters);
    const std::string unit = shared.Parameter(bucket);
    Apply(AddShared(filter, shared), messages);
    ApplyMessageOnly(filter, shared, messages);
    const std::string host = byHost ? "host" : "''::text";
    statement.sql = "SELECT floor(extract(epoch FROM date_trunc(" + unit +
                    "::text, time)) * 1000)::bigint AS bucket, type, count(*), " + host + " AS h FROM zintar_message" +
                    messages.Text() + " GROUP BY 1, 2, 4 ORDER BY 1, 4, 2 LIMIT " +
                    shared.Parameter(std::to_string(limit)) + "::bigint";
    return Named(std::move(statement));
}

Statement NewestIdsStatement()
{
    return Named({"",
                  "SELECT (SELECT coalesce(max(id), 0) FROM zintar_message), "
                  "(SELECT coalesce(max(id), 0) FROM zintar_gap)",
                  {}});
}

Statement StoredAfterStatement(const FleetFilter& filter, std::int64_t messagesAfter, std::int64_t messagesUpTo,
                               std::int64_t gapsAfter, std::int64_t gapsUpTo)
{
    Statement statement;
    Conditions shared(statement.parameters), messages(statement.parameters), gaps(statement.parameters);
    messages.Add("id > " + shared.Parameter(std::to_string(messagesAfter)) + "::bigint");
    messages.Add("id <= " + shared.Parameter(std::to_string(messagesUpTo)) + "::bigint");
    gaps.Add("id > " + shared.Parameter(std::to_string(gapsAfter)) + "::bigint");
    gaps.Add("id <= " + shared.Parameter(std::to_string(gapsUpTo)) + "::bigint");
    const SharedConditions common = AddShared(filter, shared);
    Apply(common, messages);
    Apply(common, gaps);
    ApplyMessageOnly(filter, shared, messages);
    statement.sql = UnionOf(messages.Text(), gaps.Text()) + " ORDER BY r.gap, r.id";
    return Named(std::move(statement));
}

Statement HostsStatement()
{
    // A host's counts come from zintar_host, kept by the loader; only its last hour is counted, on
    // the (host, time, sequence) index. A host whose one record of the last day is a gap is listed too.
    return Named(
        {"",
         "WITH gaps AS (SELECT host, count(*) AS gaps, sum(lost) AS lost, count(*) FILTER (WHERE NOT exact) AS "
         "uncounted, "
         "max(received) AS received FROM zintar_gap "
         "WHERE time >= now() - interval '24 hours' GROUP BY host), "
         "known AS (SELECT host FROM zintar_host UNION SELECT host FROM gaps) "
         "SELECT k.host, coalesce(h.messages, 0), floor(extract(epoch FROM h.first_time) * 1000)::bigint, "
         "floor(extract(epoch FROM h.last_time) * 1000)::bigint, "
         "floor(extract(epoch FROM greatest(h.last_received, g.received)) * 1000)::bigint, "
         "floor(extract(epoch FROM now() - greatest(h.last_received, g.received)))::bigint, "
         "(SELECT count(*) FROM zintar_message m WHERE m.host = k.host AND m.time >= now() - interval '1 hour'), "
         "coalesce(g.gaps, 0), coalesce(g.lost, 0), coalesce(g.uncounted, 0) "
         "FROM known k LEFT JOIN zintar_host h ON h.host = k.host LEFT JOIN gaps g ON g.host = k.host "
         "ORDER BY k.host",
         {}});
}

Statement HostWidthStatement()
{
    return Named({"", "SELECT coalesce(max(length(host)), 0) FROM zintar_host", {}});
}

Statement RejectedStatement()
{
    return Named({"",
                  "SELECT (SELECT count(*) FROM zintar_rejected WHERE received >= now() - interval '24 hours'), "
                  "(SELECT count(*) FROM zintar_message_default)",
                  {}});
}

}  // namespace ZintarFleet
