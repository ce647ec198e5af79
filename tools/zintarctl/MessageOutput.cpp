#include "tools/zintarctl/MessageOutput.h"

#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "util/TimeStamps.h"

namespace ZintarCtl {

using ZintarUtil::MessageRecord;

namespace {

std::string FieldText(const char* field)
{
    return std::string(field, strnlen(field, ZintarUtil::kTextFieldSize));
}

std::string CsvField(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

}  // namespace

nlohmann::json MessageJson(const MessageRecord& record)
{
    const ZintarUtil::LogMessage& m = record.message;
    return {{"time", ZintarUtil::TimeStampText(m.timeStamp, 'T')},
            {"type", m.type},
            {"text", FieldText(m.text)},
            {"aux", FieldText(m.auxText)},
            {"sequence", record.sequence}};
}

std::string JsonLine(const nlohmann::json& json)
{
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string MessageLine(const MessageRecord& record, Format format, bool color)
{
    const ZintarUtil::LogMessage& m = record.message;
    const std::string text = FieldText(m.text);
    const std::string aux = FieldText(m.auxText);
    switch (format) {
    case Format::Json:
        return JsonLine(MessageJson(record));
    case Format::Csv:
        return ZintarUtil::TimeStampText(m.timeStamp) + "," + std::to_string(m.type) + "," + CsvField(text) + "," +
               CsvField(aux);
    case Format::Text:
        break;
    }
    static const char* const kTypeColors[ZintarUtil::kMessageTypes] = {"", "\x1b[36m", "\x1b[33m", "\x1b[1;31m"};
    const char* typeColor = color && m.type < ZintarUtil::kMessageTypes ? kTypeColors[m.type] : "";
    std::string line = ZintarUtil::TimeStampText(m.timeStamp) + "  " + typeColor + std::to_string(m.type) + "  " + text;
    if (*typeColor != '\0')
        line += "\x1b[0m";
    if (!aux.empty())
        line += "  [" + aux + "]";
    return line;
}

bool UseColor(ColorChoice choice, bool toConsole, const char* noColor)
{
    if (choice != ColorChoice::Auto)
        return choice == ColorChoice::Always;
    return toConsole && (noColor == nullptr || *noColor == '\0');
}

std::string HeaderLine(Format format)
{
    return format == Format::Csv ? "time,type,text,aux" : "";
}

}  // namespace ZintarCtl
