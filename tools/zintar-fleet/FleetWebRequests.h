// What zintar-fleet's page asks for and what it is answered, apart from the HTTP and the database:
// a view read from a query string (the same selection as `read`, a page size, the page's place and
// the store's cursor), the JSON of rows, hosts and the chart, and the live mode's own reading of a
// selection for rows already fetched.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zintar-fleet/FleetCommandLine.h"
#include "tools/zintar-fleet/FleetHealth.h"
#include "tools/zintar-fleet/FleetOutput.h"
#include "tools/zintar-fleet/FleetQueries.h"

namespace ZintarFleet {

// Rows a page holds at most; a larger n is cut down to it, so no request reads more.
constexpr std::uint32_t kMaxPageRows = 1000;
constexpr std::uint32_t kDefaultPageRows = 200;
// The longest grep a request may hold.
constexpr std::size_t kMaxGrep = 200;

enum class ViewFormat { Json, Csv, JsonLines };

struct WebView {
    FleetCommand selection;  // hosts, since, until, types, grep, utc: as `read` takes them
    std::uint32_t rows = kDefaultPageRows;
    std::optional<PageKey> before;     // the next page: rows older than this
    std::optional<StoreCursor> upTo;   // the first page's cursor (pages after the first)
    std::optional<StoreCursor> after;  // live: rows stored after this
    ViewFormat format = ViewFormat::Json;
    bool byHost = false;  // the chart: a row per host
};

// host (repeatable), since, until, type, grep, utc, n, before, upto, after, format (json, csv,
// jsonl), by (host or fleet). Empty fields select nothing. Throws UsageError for a value that
// cannot be used; a number too large for n is the largest page.
WebView ViewOfQuery(std::string_view query);

// "1735689600123456,17,4711,line-3": time in µs, sort sequence, id, host (last: it may hold commas).
std::string PageKeyText(const PageKey& key);
std::optional<PageKey> PageKeyOfText(std::string_view text);
// "1200,7": messages, gaps.
std::string CursorText(const StoreCursor& cursor);
std::optional<StoreCursor> CursorOfText(std::string_view text);

// A row for the page: {"t": ms, "host", "type": 0..3 or "gap", "seq", "gen", "lost", "aux", "text"}.
std::string RowsJson(const std::vector<FleetRow>& rows);
// {"rows": [...newest first], "older": key or null, "cursor": "m,g"}
std::string PageJson(const std::vector<FleetRow>& rows, const std::optional<PageKey>& older, const StoreCursor& cursor);
// The rows as `read -o csv` or `read -o json` prints them, oldest first, each line ended.
std::string RowsDownload(const std::vector<FleetRow>& newestFirst, ViewFormat format, bool utc);

// [{"host", "state", "messages", "first", "last", "received", "silent", "lastHour", "gaps", "lost", "lostUncounted"}]
// with times in ms since 1970.
std::string HostsJson(const std::vector<HostFigures>& hosts, std::chrono::seconds quietAfter);

// The chart's unit for a range: minutes up to two days, hours up to 60 days, else days.
const char* ChartBucket(std::int64_t fromMs, std::int64_t toMs);
struct ChartCount {
    std::int64_t bucketMs = 0;
    int type = 0;
    std::int64_t count = 0;
    std::string host;  // "" for the whole fleet
};
// {"bucket": "minute", "from": ms, "to": ms, "truncated": bool, "counts": [[ms, type, count, host], ...]}
std::string ChartJson(const char* bucket, std::int64_t fromMs, std::int64_t toMs, const std::vector<ChartCount>& counts,
                      bool truncated);

// The live mode's test of a stored row against a view's selection, as the statements would select
// it: a host by name or pattern, the types, the grep as a substring in any case (ASCII). Gaps pass
// whatever types and grep say, as they do in `read`.
class RowSelection {
public:
    explicit RowSelection(const FleetCommand& selection);
    bool Selects(const FleetRow& row) const;

private:
    std::vector<std::string> hosts;
    std::uint32_t types;
    std::string grep;  // lower case; "" for none
};

// A shell pattern of * and ? over the whole of `text`.
bool GlobMatches(std::string_view glob, std::string_view text);

}  // namespace ZintarFleet
