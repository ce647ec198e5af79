// One log message as an RFC 5424 syslog message, for a site that ships its logs to a central
// syslog server: facility local0, severity notice, the message's local time with the machine's
// offset from UTC, APP-NAME "zintar", MSGID "type<N>", the auxiliary text as structured data.
#pragma once

#include <string>

#include "LogFileFormat.h"

namespace ZintarCtl {

// `utcOffsetMinutes`: local time minus UTC, for example +60 in Central Europe in winter.
std::string SyslogMessage(const ZintarUtil::MessageRecord& record, const std::string& hostName, int utcOffsetMinutes);

// "host:port" → its parts; throws UsageError when either is missing or the port is not 1 to 65535.
std::pair<std::string, std::string> SplitHostPort(const std::string& address);

}  // namespace ZintarCtl
