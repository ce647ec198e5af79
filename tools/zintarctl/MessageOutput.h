// How zintarctl prints a message: an aligned line of text, one JSON object a line (for a
// collector such as Fluent Bit or Vector to ship on), or CSV.
#pragma once

#include <string>

#include "CtlCommandLine.h"
#include "LogFileFormat.h"

namespace ZintarCtl {

// One line, without its line end. Texts are read up to their NUL and never past their field.
std::string MessageLine(const ZintarUtil::MessageRecord& record, Format format);

// The line before the first CSV record; empty for the other formats.
std::string HeaderLine(Format format);

}  // namespace ZintarCtl
