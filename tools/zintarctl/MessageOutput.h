// How zintarctl prints a message: an aligned line of text, one JSON object a line (for a
// collector such as Fluent Bit or Vector to ship on), or CSV.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "tools/zintarctl/CtlCommandLine.h"
#include "util/LogFileFormat.h"
#include "util/MessageLines.h"

namespace ZintarCtl {

// One line, without its line end. Texts are read up to their NUL and never past their field. With
// `color`, the text format marks the type and text with ANSI colours: type 1 cyan, 2 yellow, and
// 3, the errors, bold red.
std::string MessageLine(const ZintarUtil::MessageRecord& record, Format format, bool color = false);

// The message as `--json` prints it: time, type, text, aux and sequence.
nlohmann::json MessageJson(const ZintarUtil::MessageRecord& record);

using ZintarUtil::JsonLine;

// Whether text goes out coloured: always or never when asked; by default only to a console, and
// not when the NO_COLOR variable (`noColor`, null when unset) holds anything (no-color.org).
bool UseColor(ColorChoice choice, bool toConsole, const char* noColor);

// The line before the first CSV record; empty for the other formats.
std::string HeaderLine(Format format);

}  // namespace ZintarCtl
