// How zintarctl reaches the log: the service's shared ring, or a log file on disk read without
// holding it. Times are local, as the service stores them, unless the command asks for UTC.
#pragma once

#include <string>
#include <vector>

#include "tools/zintarctl/CtlCommandLine.h"
#include "util/LogFileImage.h"

namespace ZintarCtl {

// The time now, in the zone times are shown and read in.
ZintarUtil::TimeFields Now(bool utc);

// Messages carry local time; with --utc they are shown, and selected, in UTC.
void ToUtc(std::vector<ZintarUtil::MessageRecord>& records);

// A log file from disk, judged as the service judges the files it opens: a damaged one gives its
// whole messages (and says so on stderr); a file that is not a log file throws.
ZintarUtil::LogImageContent ReadLogFile(const std::string& path);

// Where the log stands on disk while the service is down: the file its LogFile setting names, or
// no messages when there is none that can be read.
ZintarUtil::LogImageContent LogOnDisk();

// The messages `read` prints: the command's selection of the service's ring or of its --file,
// oldest first.
std::vector<ZintarUtil::MessageRecord> ReadSelected(const CtlCommand& command);

}  // namespace ZintarCtl
