#include "tools/zintarctl/MessageOutput.h"

#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "util/MessageLines.h"
#include "util/TimeStamps.h"

namespace ZintarCtl {

using ZintarUtil::CsvField;
using ZintarUtil::MessageRecord;

namespace {

std::string FieldText(const char* field)
{
    return std::string(field, strnlen(field, ZintarUtil::kTextFieldSize));
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
    const std::string type = std::to_string(m.type);
    return ZintarUtil::MessageTextLine({ZintarUtil::TimeStampText(m.timeStamp), "", 0, type, text, aux}, color);
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
