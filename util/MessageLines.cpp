#include "util/MessageLines.h"

namespace ZintarUtil {

std::string MessageTextLine(const MessageLineFields& fields, bool color)
{
    const char* typeColor = "";
    if (color) {
        if (fields.type == "1")
            typeColor = "\x1b[36m";
        else if (fields.type == "2")
            typeColor = "\x1b[33m";
        else if (fields.type == "3" || fields.type == "gap")
            typeColor = "\x1b[1;31m";
    }
    std::string line = fields.time + "  ";
    if (!fields.host.empty()) {
        line += fields.host;
        line.append(fields.hostWidth > fields.host.size() ? fields.hostWidth - fields.host.size() : 0, ' ');
        line += "  ";
    }
    line += typeColor;
    line += fields.type;
    line += "  ";
    line += fields.text;
    if (*typeColor != '\0')
        line += "\x1b[0m";
    if (!fields.aux.empty()) {
        line += "  [";
        line += fields.aux;
        line += "]";
    }
    return line;
}

std::string CsvField(std::string_view text)
{
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

}  // namespace ZintarUtil
