// The shapes of a printed message that every reading tool shares: zintarctl on one machine and
// zintar-fleet on the collector print the same aligned line, the same CSV quoting and the same
// one-line JSON, so that a script written for one reads the other.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace ZintarUtil {

struct MessageLineFields {
    std::string time;       // as TimeStampText writes it
    std::string_view host;  // "" on one machine; else printed after the time, padded to `hostWidth`
    std::size_t hostWidth = 0;
    std::string_view type;  // "0" to "3", or a word such as "gap"
    std::string_view text;
    std::string_view aux;  // printed in brackets after the text when not empty
};

// "time  [host  ]type  text  [aux]". With `color`, ANSI colours mark the type and text: type 1
// cyan, 2 yellow, 3 (the errors) and gaps bold red.
std::string MessageTextLine(const MessageLineFields& fields, bool color);

// `text` in double quotes, its quotes doubled (RFC 4180).
std::string CsvField(std::string_view text);

// `json` on one line. Texts are 8-bit: bytes that are not UTF-8 become U+FFFD rather than failing
// the line.
inline std::string JsonLine(const nlohmann::json& json)
{
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace ZintarUtil
