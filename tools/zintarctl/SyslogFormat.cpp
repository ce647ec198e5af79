#include "SyslogFormat.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CtlCommandLine.h"
#include "MessageOutput.h"
#include "TimeStamps.h"

namespace ZintarCtl {

using ZintarUtil::UsageError;

namespace {

constexpr int kFacilityLocal0 = 16;
constexpr int kSeverityNotice = 5;

// A structured-data value escapes '"', '\' and ']'.
std::string ParameterValue(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        if (c == '"' || c == '\\' || c == ']')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// Printable US-ASCII without blanks, as HOSTNAME allows; "-" when nothing is left.
std::string HeaderField(const std::string& text)
{
    std::string field;
    for (char c : text)
        if (c > 32 && c < 127)
            field += c;
    return field.empty() ? "-" : field.substr(0, 255);
}

}  // namespace

std::string SyslogMessage(const ZintarUtil::MessageRecord& record, const std::string& hostName, int utcOffsetMinutes)
{
    const ZintarUtil::LogMessage& m = record.message;
    char offset[8];
    const int minutes = std::abs(utcOffsetMinutes);
    std::snprintf(offset, sizeof offset, "%c%02d:%02d", utcOffsetMinutes < 0 ? '-' : '+', minutes / 60 % 100, minutes % 60);
    const std::string text(m.text, strnlen(m.text, ZintarUtil::kTextFieldSize));
    const std::string aux(m.auxText, strnlen(m.auxText, ZintarUtil::kTextFieldSize));
    return "<" + std::to_string(kFacilityLocal0 * 8 + kSeverityNotice) + ">1 " + ZintarUtil::TimeStampText(m.timeStamp, 'T') + offset +
           " " + HeaderField(hostName) + " zintar - type" + std::to_string(m.type) + " [zintar@32473 aux=\"" +
           ParameterValue(aux) + "\" sequence=\"" + std::to_string(record.sequence) + "\"] " + text;
}

std::pair<std::string, std::string> SplitHostPort(const std::string& address)
{
    const std::size_t colon = address.rfind(':');
    const std::string host = colon == std::string::npos ? "" : address.substr(0, colon);
    const std::string port = colon == std::string::npos ? "" : address.substr(colon + 1);
    const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    if (host.empty() || !digits || std::stoul(port) == 0 || std::stoul(port) > 65535)
        throw UsageError("--syslog needs HOST:PORT, for example 127.0.0.1:514, not '" + address + "'");
    return {host, port};
}

}  // namespace ZintarCtl
