// Every statement the reading verbs send, in one place, built from what the command line selects.
// Values are never part of the SQL text: each goes as a parameter ($1, $2, ...), so a --grep or
// --host of any bytes is data, never SQL. Only the shape of a statement (which filters it has)
// changes its text, and each shape is prepared under a name of its own.
//
// The indexes these are made for (collector/schema.sql): (host, time, sequence) for one host's
// range and its last hour, (time, host, sequence) for the fleet's range in order, (id) for "every
// row stored after this one", the trigram index for --grep; zintar_host for the fleet's counts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zintar-fleet/FleetCommandLine.h"

namespace ZintarFleet {

// A prepared statement: its name, its text and the values of $1, $2, ... (nothing for NULL).
struct Statement {
    std::string name;
    std::string sql;
    std::vector<std::optional<std::string>> parameters;
};

// What read and follow select, checked and ready for SQL.
struct FleetFilter {
    std::vector<std::string> names;                // exact host names
    std::vector<std::string> patterns;             // host patterns, as LIKE patterns
    std::optional<std::int64_t> sinceMs, untilMs;  // milliseconds since 1970 UTC, both ends included
    std::uint32_t types = 0xF;
    std::optional<std::string> grep;  // an ILIKE pattern: the text anywhere
};

// Times are read relative to `nowMs`, in local time or UTC as the command says. Throws UsageError
// for a time that cannot be read or a range that ends before it begins.
FleetFilter FilterOf(const FleetCommand& command, std::int64_t nowMs);

// A host value with * or ? is a pattern.
bool IsHostPattern(std::string_view host);
// "line?-*" → "line_-%": LIKE's own %, _ and \ escaped with \, then * and ? translated.
std::string LikeOfGlob(std::string_view glob);
// "50%_off" → "%50\%\_off%": the text anywhere, matched literally.
std::string LikeOfSubstring(std::string_view text);
// {"a", "b\"c"} → {"a","b\"c"}: a text[] literal, every element quoted.
std::string TextArrayLiteral(const std::vector<std::string>& values);

// The columns every message statement returns, in this order.
enum MessageColumn { kTimeMs, kHost, kIsGap, kType, kSequence, kGeneration, kLost, kAux, kText, kId };

// read: every selected row, oldest first (time, host, gaps before messages, sequence); with
// `newest`, only the newest N rows, newest first. With `maxMessageId`/`maxGapId`, only rows stored
// up to those ids (follow's first lines).
Statement ReadStatement(const FleetFilter& filter, std::optional<std::uint32_t> newest,
                        std::optional<std::int64_t> maxMessageId = std::nullopt,
                        std::optional<std::int64_t> maxGapId = std::nullopt);
// The newest ids stored: messages, gaps.
Statement NewestIdsStatement();
// follow: the selected rows with ids in (after, upTo] of each table: messages in the order they
// were stored, then gaps in theirs.
Statement StoredAfterStatement(const FleetFilter& filter, std::int64_t messagesAfter, std::int64_t messagesUpTo,
                               std::int64_t gapsAfter, std::int64_t gapsUpTo);

// The page's place in the fleet's rows, newest first: the key of the last row it showed. Rows sort
// by time, host, then sequence (a gap after the messages of its time and host), then id; `timeUs`
// is the time in microseconds since 1970, as exact as the store keeps it.
struct PageKey {
    std::int64_t timeUs = 0;
    std::string host;
    std::int64_t sequence = 0;  // a gap's is kGapSequence
    std::int64_t id = 0;
};
constexpr std::int64_t kGapSequence = 9223372036854775807;

// What a page was taken from: the newest ids stored when its first page was read. Every later page
// of the same view is read up to them, so that rows stored meanwhile are neither shown twice nor
// skipped: they are the live mode's.
struct StoreCursor {
    std::int64_t messages = 0, gaps = 0;
};

// The columns of PageStatement: those of MessageColumn, then these.
enum PageColumn { kTimeUs = kId + 1, kSortSequence };

// One page of the web page's table: the newest `count` selected rows older than `before` (all when
// none), stored up to `upTo`, newest first. A keyset: no OFFSET, so every page costs the same.
Statement PageStatement(const FleetFilter& filter, std::uint32_t count, const std::optional<PageKey>& before,
                        const StoreCursor& upTo);

// The chart: selected messages counted per `bucket` ("minute", "hour" or "day") and type, and per
// host with `byHost`; the columns are bucket start (ms since 1970), type, count, host. At most
// `limit` rows, oldest first.
enum ChartColumn { kBucketMs, kChartType, kCount, kChartHost };
Statement ChartStatement(const FleetFilter& filter, const std::string& bucket, bool byHost, std::uint32_t limit);

// The columns of HostsStatement, in this order.
enum HostColumn {
    kHostName,
    kMessages,
    kFirstMs,
    kLastMs,
    kReceivedMs,
    kSilentSeconds,
    kLastHour,
    kGaps,
    kLostInDay,
    kUncountedInDay
};
// Every host with messages stored or a gap in the last 24 h, by name.
Statement HostsStatement();
// The longest host name stored, for the short format's host column.
Statement HostWidthStatement();
// Records set aside in the last 24 h, and rows of clocks far off (the default partition).
Statement RejectedStatement();

}  // namespace ZintarFleet
