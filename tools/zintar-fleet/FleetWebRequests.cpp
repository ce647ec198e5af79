#include "tools/zintar-fleet/FleetWebRequests.h"

#include <algorithm>
#include <charconv>

#include <nlohmann/json.hpp>

#include "util/CommandLineValues.h"
#include "util/MessageLines.h"
#include "util/TextHelpers.h"
#include "util/http/HttpAddress.h"

namespace ZintarFleet {

using ZintarUtil::UsageError;

namespace {

std::optional<std::int64_t> Integer(std::string_view text)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

// Splits off the text up to the next comma.
std::string_view Field(std::string_view& text)
{
    const std::size_t comma = text.find(',');
    const std::string_view field = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    return field;
}

nlohmann::json Time(const std::optional<std::int64_t>& ms)
{
    return ms ? nlohmann::json(*ms) : nlohmann::json(nullptr);
}

std::string Dump(const nlohmann::json& json)
{
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json RowObject(const FleetRow& row)
{
    nlohmann::json json = {{"t", row.timeMs}, {"host", row.host}, {"gen", row.generation}, {"text", row.text}};
    if (row.gap)
        json.update({{"type", "gap"}, {"lost", row.lost}});
    else
        json.update({{"type", row.type}, {"seq", row.sequence}, {"aux", row.aux}});
    return json;
}

}  // namespace

WebView ViewOfQuery(std::string_view query)
{
    WebView view;
    FleetCommand& c = view.selection;
    for (const auto& [name, value] : ZintarHttp::QueryFields(query)) {
        if (value.empty() && name != "utc")
            continue;  // an empty field of a form selects nothing
        if (name == "host")
            c.hosts.push_back(value);
        else if (name == "since")
            c.since = value;
        else if (name == "until")
            c.until = value;
        else if (name == "type")
            c.types = ZintarUtil::ParseTypeList(value, "type");
        else if (name == "grep") {
            if (value.size() > kMaxGrep)
                throw UsageError("grep holds at most " + std::to_string(kMaxGrep) + " characters");
            c.grep = value;
        } else if (name == "utc")
            c.utc = value != "0";
        else if (name == "n") {
            if (value.find_first_not_of("0123456789") != std::string::npos)
                throw UsageError("n needs a number of rows, not '" + value + "'");
            const std::optional<std::int64_t> n = Integer(value);
            view.rows =
                !n || *n > kMaxPageRows ? kMaxPageRows : std::max<std::uint32_t>(1, static_cast<std::uint32_t>(*n));
        } else if (name == "before") {
            view.before = PageKeyOfText(value);
            if (!view.before)
                throw UsageError("before is the 'older' of a page, not '" + value + "'");
        } else if (name == "upto" || name == "after") {
            const std::optional<StoreCursor> cursor = CursorOfText(value);
            if (!cursor)
                throw UsageError(name + " is the 'cursor' of a page, not '" + value + "'");
            (name == "upto" ? view.upTo : view.after) = cursor;
        } else if (name == "format") {
            if (value != "json" && value != "jsonl" && value != "csv")
                throw UsageError("format is json, jsonl or csv, not '" + value + "'");
            view.format = value == "csv"     ? ViewFormat::Csv
                          : value == "jsonl" ? ViewFormat::JsonLines
                                             : ViewFormat::Json;
        } else if (name == "by") {
            if (value != "host" && value != "fleet")
                throw UsageError("by is host or fleet, not '" + value + "'");
            view.byHost = value == "host";
        }
    }
    return view;
}

std::string PageKeyText(const PageKey& key)
{
    return std::to_string(key.timeUs) + "," + std::to_string(key.sequence) + "," + std::to_string(key.id) + "," +
           key.host;
}

std::optional<PageKey> PageKeyOfText(std::string_view text)
{
    const std::optional<std::int64_t> time = Integer(Field(text)), sequence = Integer(Field(text)),
                                      id = Integer(Field(text));
    // Times from the year 1 to 9999, as PostgreSQL keeps them.
    constexpr std::int64_t kFirstUs = -62135596800000000, kLastUs = 253402300799999999;
    if (!time || !sequence || !id || *time < kFirstUs || *time > kLastUs)
        return std::nullopt;
    return PageKey{*time, std::string(text), *sequence, *id};
}

std::string CursorText(const StoreCursor& cursor)
{
    return std::to_string(cursor.messages) + "," + std::to_string(cursor.gaps);
}

std::optional<StoreCursor> CursorOfText(std::string_view text)
{
    const std::optional<std::int64_t> messages = Integer(Field(text)), gaps = Integer(text);
    if (!messages || !gaps || *messages < 0 || *gaps < 0)
        return std::nullopt;
    return StoreCursor{*messages, *gaps};
}

std::string RowsJson(const std::vector<FleetRow>& rows)
{
    nlohmann::json list = nlohmann::json::array();
    for (const FleetRow& row : rows)
        list.push_back(RowObject(row));
    return Dump(list);
}

std::string PageJson(const std::vector<FleetRow>& rows, const std::optional<PageKey>& older, const StoreCursor& cursor)
{
    nlohmann::json list = nlohmann::json::array();
    for (const FleetRow& row : rows)
        list.push_back(RowObject(row));
    return Dump({{"rows", list},
                 {"older", older ? nlohmann::json(PageKeyText(*older)) : nlohmann::json(nullptr)},
                 {"cursor", CursorText(cursor)}});
}

std::string RowsDownload(const std::vector<FleetRow>& newestFirst, ViewFormat format, bool utc)
{
    const FleetFormat fleetFormat = format == ViewFormat::Csv ? FleetFormat::Csv : FleetFormat::Json;
    const char* lineEnd = format == ViewFormat::Csv ? "\r\n" : "\n";
    std::string text = FleetRowHeader(fleetFormat);
    if (!text.empty())
        text += lineEnd;
    for (auto row = newestFirst.rbegin(); row != newestFirst.rend(); ++row)
        text += FleetRowLine(*row, fleetFormat, utc, 0) + lineEnd;
    return text;
}

std::string HostsJson(const std::vector<HostFigures>& hosts, std::chrono::seconds quietAfter)
{
    nlohmann::json list = nlohmann::json::array();
    for (const HostFigures& h : hosts)
        list.push_back({{"host", h.host},
                        {"state", StateName(StateOf(h, quietAfter))},
                        {"messages", h.messages},
                        {"first", Time(h.firstMs)},
                        {"last", Time(h.lastMs)},
                        {"received", Time(h.receivedMs)},
                        {"silent", Time(h.silentSeconds)},
                        {"lastHour", h.lastHour},
                        {"gaps", h.gaps},
                        {"lost", h.lost},
                        {"lostUncounted", h.uncounted}});
    return Dump(list);
}

const char* ChartBucket(std::int64_t fromMs, std::int64_t toMs)
{
    constexpr std::int64_t kDayMs = 86400000;
    const std::int64_t span = toMs - fromMs;
    return span <= 2 * kDayMs ? "minute" : span <= 60 * kDayMs ? "hour" : "day";
}

std::string ChartJson(const char* bucket, std::int64_t fromMs, std::int64_t toMs, const std::vector<ChartCount>& counts,
                      bool truncated)
{
    nlohmann::json list = nlohmann::json::array();
    for (const ChartCount& c : counts)
        list.push_back({c.bucketMs, c.type, c.count, c.host});
    return Dump({{"bucket", bucket}, {"from", fromMs}, {"to", toMs}, {"truncated", truncated}, {"counts", list}});
}

bool GlobMatches(std::string_view glob, std::string_view text)
{
    // The usual walk with one backtracking point: the last '*' seen.
    std::size_t g = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (g < glob.size() && (glob[g] == '?' || glob[g] == text[t])) {
            ++g;
            ++t;
        } else if (g < glob.size() && glob[g] == '*') {
            star = g++;
            resume = t;
        } else if (star != std::string_view::npos) {
            g = star + 1;
            t = ++resume;
        } else
            return false;
    }
    while (g < glob.size() && glob[g] == '*')
        ++g;
    return g == glob.size();
}

RowSelection::RowSelection(const FleetCommand& selection)
    : hosts(selection.hosts), types(selection.types),
      grep(selection.grep ? ZintarUtil::ToLowerAscii(*selection.grep) : std::string())
{
}

bool RowSelection::Selects(const FleetRow& row) const
{
    if (!hosts.empty() &&
        std::none_of(hosts.begin(), hosts.end(), [&](const std::string& h) { return GlobMatches(h, row.host); }))
        return false;
    if (row.gap)
        return true;
    if (!(types & (1u << row.type)))
        return false;
    return grep.empty() || ZintarUtil::ToLowerAscii(row.text).find(grep) != std::string::npos;
}

}  // namespace ZintarFleet
