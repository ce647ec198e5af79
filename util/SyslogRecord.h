// One log message as an RFC 5424 syslog record, for a site that ships its logs to a central
// syslog server: the message's local time with the machine's offset from UTC, APP-NAME "zintar",
// MSGID "type<N>", and the structured-data element that names the message for good:
//
//   <133>1 2026-12-06T10:00:07.005+01:00 PLANTPC zintar - type3
//       [zintar@32473 aux="..." generation="4" sequence="7" digest="b3a1c0ffee123456"] Disk full
//
// Host, sequence and digest together identify a message: a new log file numbers its records from
// 0 again and a repair moves the generation on, but neither changes a message's bytes, so a
// collector drops an exact copy by those three. `zintarctl follow --syslog` and zintar-forward
// send the same records.
#pragma once

#include <cstdint>
#include <string>

#include "util/LogFileFormat.h"

namespace ZintarUtil {

// Where records come from: the HEADER fields that do not depend on the message.
struct SyslogOrigin {
    std::string hostName;      // printable ASCII is kept, at most 255 characters; "-" when none is left
    int utcOffsetMinutes = 0;  // local time minus UTC, for example +60 in Central Europe in winter
    int facility = 16;         // local0; the severity is always notice
};

// `generation` is that of the log the record was read from.
std::string SyslogRecord(const MessageRecord& record, std::uint64_t generation, const SyslogOrigin& origin);

// The record that owns up to `lost` messages of `generation` that were overwritten in the ring
// before they could be sent, stamped with `time` (local): MSGID "gap", [zintar@32473 lost="N"
// generation="G"]. Where nobody can count them (a burst rewrote the ring whole and left no
// numbers), `exact` is false: `lost` is then only a lower bound, possibly 0, and the element
// carries exact="false" besides.
std::string SyslogGapRecord(std::uint64_t lost, std::uint64_t generation, const TimeFields& time,
                            const SyslogOrigin& origin, bool exact = true);

// The digest as the records carry it: 16 lowercase hex digits.
std::string DigestText(std::uint64_t digest);

}  // namespace ZintarUtil
