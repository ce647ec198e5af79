#include "tools/zintar-fleet/FleetOutput.h"

#include <algorithm>
#include <ctime>

#include <nlohmann/json.hpp>

#include "util/MessageLines.h"
#include "util/TimeStamps.h"

namespace ZintarFleet {

using ZintarUtil::CsvField;
using ZintarUtil::TimeStampText;

namespace {

std::string TimeText(const std::optional<std::int64_t>& ms, bool utc, char separator = ' ')
{
    return ms ? TimeStampText(FieldsOfEpochMs(*ms, utc), separator) : "";
}

nlohmann::json JsonTime(const std::optional<std::int64_t>& ms, bool utc)
{
    return ms ? nlohmann::json(TimeText(ms, utc, 'T')) : nlohmann::json(nullptr);
}

std::string Padded(const std::string& text, std::size_t width, bool right = false)
{
    const std::string pad(width > text.size() ? width - text.size() : 0, ' ');
    return right ? pad + text : text + pad;
}

}  // namespace

std::int64_t EpochMsOf(const ZintarUtil::TimeFields& time, bool utc)
{
    std::tm fields{};
    fields.tm_year = time.year - 1900;
    fields.tm_mon = time.month - 1;
    fields.tm_mday = time.day;
    fields.tm_hour = time.hour;
    fields.tm_min = time.minute;
    fields.tm_sec = time.second;
    fields.tm_isdst = -1;  // whichever the zone's rules say for that day
    const std::time_t seconds = utc ? timegm(&fields) : mktime(&fields);
    return static_cast<std::int64_t>(seconds) * 1000 + time.milliseconds;
}

ZintarUtil::TimeFields FieldsOfEpochMs(std::int64_t ms, bool utc)
{
    const std::int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm fields{};
    if (utc)
        gmtime_r(&t, &fields);
    else
        localtime_r(&t, &fields);
    return {static_cast<std::int16_t>(fields.tm_year + 1900), static_cast<std::int16_t>(fields.tm_mon + 1),
            static_cast<std::int16_t>(fields.tm_mday),        static_cast<std::int16_t>(fields.tm_hour),
            static_cast<std::int16_t>(fields.tm_min),         static_cast<std::int16_t>(fields.tm_sec),
            static_cast<std::int16_t>(ms - seconds * 1000),   static_cast<std::int16_t>(fields.tm_wday)};
}

std::string FleetRowLine(const FleetRow& row, FleetFormat format, bool utc, std::size_t hostWidth)
{
    const std::string type = row.gap ? "gap" : std::to_string(row.type);
    switch (format) {
    case FleetFormat::Json: {
        nlohmann::json json = {{"time", TimeText(row.timeMs, utc, 'T')}, {"host", row.host}};
        if (row.gap)
            json.update({{"type", "gap"}, {"lost", row.lost}, {"generation", row.generation}, {"text", row.text}});
        else
            json.update({{"type", row.type},
                         {"text", row.text},
                         {"aux", row.aux},
                         {"sequence", row.sequence},
                         {"generation", row.generation}});
        return ZintarUtil::JsonLine(json);
    }
    case FleetFormat::Csv:
        return TimeText(row.timeMs, utc) + "," + CsvField(row.host) + "," + type + "," + CsvField(row.text) + "," +
               CsvField(row.aux) + "," + (row.gap ? std::to_string(row.lost) : "");
    case FleetFormat::Short:
        break;
    }
    // A gap's text says how many were lost ("12 messages were overwritten ...").
    return ZintarUtil::MessageTextLine({TimeText(row.timeMs, utc), row.host, hostWidth, type, row.text, row.aux},
                                       false);
}

std::string FleetRowHeader(FleetFormat format)
{
    return format == FleetFormat::Csv ? "time,host,type,text,aux,lost" : "";
}

std::string HostsText(const std::vector<HostFigures>& hosts, FleetFormat format, bool utc,
                      std::chrono::seconds quietAfter)
{
    std::string text;
    if (format == FleetFormat::Json) {
        for (const HostFigures& h : hosts)
            text += ZintarUtil::JsonLine({{"host", h.host},
                                          {"state", StateName(StateOf(h, quietAfter))},
                                          {"messages", h.messages},
                                          {"first", JsonTime(h.firstMs, utc)},
                                          {"last", JsonTime(h.lastMs, utc)},
                                          {"received", JsonTime(h.receivedMs, utc)},
                                          {"last_hour", h.lastHour},
                                          {"gaps", h.gaps},
                                          {"lost", h.lost},
                                          {"lost_uncounted", h.uncounted}}) +
                    "\n";
        return text;
    }
    if (format == FleetFormat::Csv) {
        text = "host,state,messages,first,last,received,last_hour,gaps,lost,lost_uncounted\n";
        for (const HostFigures& h : hosts)
            text += CsvField(h.host) + "," + StateName(StateOf(h, quietAfter)) + "," + std::to_string(h.messages) +
                    "," + TimeText(h.firstMs, utc) + "," + TimeText(h.lastMs, utc) + "," + TimeText(h.receivedMs, utc) +
                    "," + std::to_string(h.lastHour) + "," + std::to_string(h.gaps) + "," + std::to_string(h.lost) +
                    "," + std::to_string(h.uncounted) + "\n";
        return text;
    }
    std::size_t width = 4;
    for (const HostFigures& h : hosts)
        width = std::max(width, h.host.size());
    constexpr std::size_t kTime = 23;
    const auto line = [&](const std::string& host, const std::string& state, const std::string& messages,
                          const std::string& first, const std::string& last, const std::string& received,
                          const std::string& hour, const std::string& gaps, const std::string& lost) {
        std::string l = Padded(host, width) + "  " + Padded(state, 6) + "  " + Padded(messages, 10, true) + "  " +
                        Padded(first, kTime) + "  " + Padded(last, kTime) + "  " + Padded(received, kTime) + "  " +
                        Padded(hour, 9, true) + "  " + Padded(gaps, 4, true) + "  " + Padded(lost, 6, true);
        while (!l.empty() && l.back() == ' ')
            l.pop_back();
        return l + "\n";
    };
    text = line("HOST", "STATE", "MESSAGES", "FIRST", "LAST", "RECEIVED", "LAST HOUR", "GAPS", "LOST");
    for (const HostFigures& h : hosts)
        text += line(h.host, StateName(StateOf(h, quietAfter)), std::to_string(h.messages), TimeText(h.firstMs, utc),
                     TimeText(h.lastMs, utc), TimeText(h.receivedMs, utc), std::to_string(h.lastHour),
                     std::to_string(h.gaps), LostText(h.lost, h.uncounted));
    return text;
}

}  // namespace ZintarFleet
