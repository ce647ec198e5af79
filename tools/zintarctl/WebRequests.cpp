#include "tools/zintarctl/WebRequests.h"

#include <nlohmann/json.hpp>

#include "tools/zintarctl/MessageOutput.h"
#include "util/ServiceSettingsTable.h"
#include "util/TextHelpers.h"
#include "util/TimeStamps.h"

namespace ZintarCtl {

using ZintarUtil::MessageRecord;
using ZintarUtil::UsageError;

namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t count)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
    return text;
}

nlohmann::json MessageObject(const MessageRecord& record)
{
    const ZintarUtil::LogMessage& m = record.message;
    nlohmann::json object = MessageJson(record);
    object["weekday"] = m.timeStamp.weekday;
    object["leading"] = Hex(m.leading, sizeof m.leading);
    object["trailing"] = Hex(m.trailing, sizeof m.trailing);
    return object;
}

}  // namespace

CtlCommand CommandOfQuery(std::string_view query)
{
    CtlCommand command;
    command.verb = Verb::Read;
    for (const auto& [name, value] : ZintarHttp::QueryFields(query)) {
        if (value.empty() && name != "utc")
            continue;  // an empty field of a form selects nothing
        if (name == "n")
            command.last = static_cast<std::uint32_t>(ZintarHttp::QueryNumber("n", value, 0xFFFFFFFFu));
        else if (name == "since")
            command.since = value;
        else if (name == "until")
            command.until = value;
        else if (name == "type")
            command.types = ParseTypeList(value);
        else if (name == "text")
            command.textPrefix = value;
        else if (name == "grep")
            command.grep = value;
        else if (name == "utc")
            command.utc = value != "0";
        else if (name == "format") {
            if (value != "json" && value != "jsonl" && value != "csv")
                throw UsageError("format is json, jsonl or csv, not '" + value + "'");
            command.format = value == "csv" ? Format::Csv : value == "jsonl" ? Format::Json : Format::Text;
        }
    }
    return command;
}

std::string MessagesJson(const std::vector<MessageRecord>& records)
{
    nlohmann::json list = nlohmann::json::array();
    for (const MessageRecord& record : records)
        list.push_back(MessageObject(record));
    return JsonLine(list);
}

std::string StatusJson(const StatusReport& report, const std::string& source)
{
    nlohmann::json status = {{"service", report.stateText}, {"answered", report.answered}, {"source", source}};
    if (const auto& s = report.settings) {
        nlohmann::json settings = {{"logFile", report.logFile},
                                   {"logFileInUse", s->logFileInUse},
                                   {"logFileFallback", s->logFileFallback},
                                   {"deviceOpen", s->deviceOpen}};
        // The page shows the table's settings in its order, with its labels.
        nlohmann::json rows = nlohmann::json::array();
        for (const ZintarUtil::SettingRow& row : ZintarUtil::kSettingRows) {
            const std::uint32_t value = (*s).*row.field;
            const bool types = row.kind == ZintarUtil::SettingKind::TypeMask;
            settings[row.jsonName] = types ? nlohmann::json(TypesText(value)) : nlohmann::json(value);
            rows.push_back({{"field", row.jsonName},
                            {"label", row.label},
                            {"unit", row.unit},
                            {"grouped", row.kind == ZintarUtil::SettingKind::Count}});
        }
        status["settings"] = settings;
        status["settingRows"] = rows;
    }
    if (const auto& h = report.header)
        status["log"] = {{"capacity", h->capacity},     {"messages", h->messageCount},
                         {"generation", h->generation}, {"updates", h->updateCount},
                         {"readers", h->readCount},     {"serverRunning", h->serverRunning != 0}};
    return JsonLine(status);
}

std::string MessagesDownload(const std::vector<MessageRecord>& records, Format format)
{
    // CSV ends its lines as RFC 4180 says; JSON lines with a line feed.
    const char* lineEnd = format == Format::Csv ? "\r\n" : "\n";
    std::string text = HeaderLine(format);
    if (!text.empty())
        text += lineEnd;
    for (const MessageRecord& record : records)
        text += MessageLine(record, format) + lineEnd;
    return text;
}

}  // namespace ZintarCtl
