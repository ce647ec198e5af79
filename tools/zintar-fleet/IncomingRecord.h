// One record as the collector's rsyslog hands it to the loader, read back into what the database
// stores: a message, a gap, or a record set aside with the reason.
//
// rsyslog writes a line per record: the sender's address, a space, and the syslog record as it
// arrived (control characters already escaped as #ooo, so a record is one line):
//
//   192.0.2.7 <133>1 2026-12-06T10:00:07.005+01:00 PLANTPC zintar - type3
//       [zintar@32473 aux="com3" generation="4" sequence="7" digest="b3a1c0ffee123456"] Disk full
//
// The rules are those the forwarder writes by (RFC 5424, APP-NAME "zintar", MSGID "type0" to
// "type3" or "gap", the zintar@32473 element) and whatever PostgreSQL would refuse is refused here,
// so that a batch of accepted records never fails in the database for one of them: numbers up to
// 2^63 - 1, a real date, an offset PostgreSQL takes, UTF-8 text without NUL.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace ZintarFleet {

struct IncomingMessage {
    std::string host;
    std::int64_t sequence = 0;
    std::string digest;  // 16 lowercase hex digits
    std::int64_t generation = 0;
    int type = 0;
    std::string time;         // the record's RFC 3339 time stamp, as PostgreSQL reads it
    std::int32_t utcDay = 0;  // the UTC day of `time`, in days since 1970-01-01
    std::string aux;
    std::string text;
    std::string line;  // as it came, for zintar_rejected should the database refuse the row after all
};

struct IncomingGap {
    std::string host;
    std::int64_t generation = 0;
    std::int64_t lost = 0;
    std::string time;
    std::string text;
    std::string line;
    bool exact = true;  // false: `lost` is only a lower bound, the number unknown
};

struct RejectedRecord {
    std::string peer;    // the sender's address, as rsyslog gave it
    std::string host;    // the record's HOSTNAME if it could be read, else empty
    std::string reason;  // for the administrator: what is wrong with it
    std::string line;    // the record, byte for byte
};

using IncomingRecord = std::variant<IncomingMessage, IncomingGap, RejectedRecord>;

// Reads one line (without its line end) as rsyslog's loader template writes it.
IncomingRecord ParseIncomingRecord(std::string_view line);

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsUtf8(std::string_view text);

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int32_t DaysFromCivil(int year, int month, int day);

}  // namespace ZintarFleet
