#include "util/SyslogRecord.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/TimeStamps.h"

namespace ZintarUtil {

namespace {

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

// "<PRI>1 TIMESTAMP HOSTNAME zintar - " up to the MSGID.
std::string Header(const TimeFields& time, const SyslogOrigin& origin)
{
    char offset[8];
    const int minutes = std::abs(origin.utcOffsetMinutes);
    std::snprintf(offset, sizeof offset, "%c%02d:%02d", origin.utcOffsetMinutes < 0 ? '-' : '+', minutes / 60 % 100,
                  minutes % 60);
    return "<" + std::to_string(origin.facility * 8 + kSeverityNotice) + ">1 " + TimeStampText(time, 'T') + offset +
           " " + HeaderField(origin.hostName) + " zintar - ";
}

}  // namespace

std::string DigestText(std::uint64_t digest)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(digest));
    return text;
}

std::string SyslogRecord(const MessageRecord& record, std::uint64_t generation, const SyslogOrigin& origin)
{
    const LogMessage& m = record.message;
    const std::string text(m.text, strnlen(m.text, kTextFieldSize));
    const std::string aux(m.auxText, strnlen(m.auxText, kTextFieldSize));
    return Header(m.timeStamp, origin) + "type" + std::to_string(m.type) + " [zintar@32473 aux=\"" +
           ParameterValue(aux) + "\" generation=\"" + std::to_string(generation) + "\" sequence=\"" +
           std::to_string(record.sequence) + "\" digest=\"" + DigestText(DigestOf(m)) + "\"] " + text;
}

std::string SyslogGapRecord(std::uint64_t lost, std::uint64_t generation, const TimeFields& time,
                            const SyslogOrigin& origin, bool exact)
{
    const std::string element =
        "gap [zintar@32473 lost=\"" + std::to_string(lost) + "\" generation=\"" + std::to_string(generation) + "\"";
    if (exact)
        return Header(time, origin) + element + "] " + std::to_string(lost) +
               " messages were overwritten in the log before they could be forwarded";
    return Header(time, origin) + element + " exact=\"false\"] " + "an unknown number of messages (at least " +
           std::to_string(lost) +
           ") were overwritten in the log before they could be forwarded: a burst larger than the log rewrote it whole";
}

}  // namespace ZintarUtil
