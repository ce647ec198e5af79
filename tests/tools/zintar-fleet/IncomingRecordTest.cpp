// The loader's reading of records, without a database.
#include "tools/zintar-fleet/IncomingRecord.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

using namespace ZintarFleet;

namespace {

const std::string kHeader = "192.0.2.7 <133>1 2026-12-06T10:00:07.005+01:00 PLANTPC zintar - ";
const std::string kElement = R"([zintar@32473 aux="com3" generation="4" sequence="7" digest="b3a1c0ffee123456"])";

std::string Message(const std::string& time, const std::string& rest = kElement + " Disk full")
{
    return "192.0.2.7 <133>1 " + time + " PLANTPC zintar - type3 " + rest;
}

// What a line reads as: "message", "gap", or the reason it was set aside.
std::string Outcome(const IncomingRecord& record)
{
    if (std::holds_alternative<IncomingMessage>(record))
        return "message";
    if (std::holds_alternative<IncomingGap>(record))
        return "gap";
    return std::get<RejectedRecord>(record).reason;
}

}  // namespace

TEST(IncomingRecordTest, ReadsWhatTheForwarderWritesAndSetsAsideWhatPostgresqlWouldRefuse)
{
    const struct {
        const char* name;
        std::string line;
        std::string outcome;
    } rows[] = {
        {"a message", kHeader + "type3 " + kElement + " Disk full", "message"},
        {"no text", kHeader + "type0 " + kElement, "message"},
        {"a gap", kHeader + R"(gap [zintar@32473 lost="5" generation="4"] 5 lost)", "gap"},
        {"another element first", kHeader + "type1 [origin ip=\"10.0.0.1\"]" + kElement + " x", "message"},
        {"escapes in aux",
         kHeader + R"(type1 [zintar@32473 aux="a\"b\\c\]d" generation="4" sequence="7" digest="b3a1c0ffee123456"] x)",
         "message"},
        {"largest sequence",
         kHeader +
             R"(type1 [zintar@32473 aux="" generation="4" sequence="9223372036854775807" digest="b3a1c0ffee123456"])",
         "message"},
        {"sequence past bigint",
         kHeader +
             R"(type1 [zintar@32473 aux="" generation="4" sequence="9223372036854775808" digest="b3a1c0ffee123456"])",
         "sequence is not a number from 0 to 2^63 - 1"},
        {"negative generation",
         kHeader + R"(type1 [zintar@32473 aux="" generation="-1" sequence="7" digest="b3a1c0ffee123456"])",
         "generation is not a number from 0 to 2^63 - 1"},
        {"a gap that lost nothing", kHeader + R"(gap [zintar@32473 lost="0" generation="4"] x)",
         "lost is not a number from 1 to 2^63 - 1"},
        {"a gap nobody could count", kHeader + R"(gap [zintar@32473 lost="0" generation="4" exact="false"] x)", "gap"},
        {"a gap half counted", kHeader + R"(gap [zintar@32473 lost="1" generation="4" exact="no"] x)",
         "exact is neither true nor false"},
        {"type 4", kHeader + "type4 " + kElement, "the MSGID is neither type0 to type3 nor gap"},
        {"upper-case digest",
         kHeader + R"(type1 [zintar@32473 aux="" generation="4" sequence="7" digest="B3A1C0FFEE123456"])",
         "the digest is not 16 lowercase hex digits"},
        {"no aux", kHeader + R"(type1 [zintar@32473 generation="4" sequence="7" digest="b3a1c0ffee123456"])", "no aux"},
        {"a parameter twice",
         kHeader + R"(type1 [zintar@32473 aux="" aux="" generation="4" sequence="7" digest="b3a1c0ffee123456"])",
         "the parameter aux twice"},
        {"another program", "192.0.2.7 <13>1 2026-12-06T10:00:07Z PLANTPC sshd 42 - - Accepted",
         "not a zintar record (APP-NAME is not zintar)"},
        {"BSD syslog", "192.0.2.7 <13>Dec  6 10:00:07 PLANTPC zintar: hello", "not an RFC 5424 record"},
        {"no element", kHeader + "type1 - text", "no zintar@32473 element"},
        {"element not closed", kHeader + "type1 [zintar@32473 aux=\"x\"", "a structured-data element is not closed"},
        {"value not closed", kHeader + "type1 [zintar@32473 aux=\"x", "the structured data ends early"},
        {"text in Latin-1", kHeader + "type3 " + kElement + " Caf\xE9", "the text is not UTF-8"},
        {"aux overlong UTF-8",
         kHeader + "type3 [zintar@32473 aux=\"\xC0\xAF\" generation=\"4\" sequence=\"7\" digest=\"b3a1c0ffee123456\"]",
         "the aux text is not UTF-8"},
        {"a surrogate", kHeader + "type3 " + kElement + " \xED\xA0\x80", "the text is not UTF-8"},
        {"UTF-8 text", kHeader + "type3 " + kElement + " Caf\xC3\xA9 \xF0\x9F\x94\xA5", "message"},
        {"a NUL", kHeader + "type3 " + kElement + std::string(" a\0b", 4), "the text holds a NUL character"},
        {"no address", "<133>1", "not a record (no sender's address)"},
        {"empty", "", "not a record (no sender's address)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Outcome(ParseIncomingRecord(row.line)), row.outcome);
    }

    const IncomingMessage m = std::get<IncomingMessage>(ParseIncomingRecord(
        kHeader + R"(type2 [zintar@32473 aux="a\"b\\c\]d" generation="4" sequence="7" digest="b3a1c0ffee123456"] )"
                  "\xEF\xBB\xBF"
                  "Disk D: full"));
    EXPECT_EQ(m.host, "PLANTPC");
    EXPECT_EQ(m.type, 2);
    EXPECT_EQ(m.sequence, 7);
    EXPECT_EQ(m.generation, 4);
    EXPECT_EQ(m.aux, "a\"b\\c]d");
    EXPECT_EQ(m.text, "Disk D: full");
    EXPECT_EQ(m.time, "2026-12-06T10:00:07.005+01:00");

    const RejectedRecord rejected = std::get<RejectedRecord>(ParseIncomingRecord(kHeader + "type9 " + kElement));
    EXPECT_EQ(rejected.peer, "192.0.2.7");
    EXPECT_EQ(rejected.host, "PLANTPC");
}

// Whatever PostgreSQL's timestamptz would refuse is refused here, or one record fails its batch.
TEST(IncomingRecordTest, TimeStampsAreRealDatesWhoseUtcDayIsKnown)
{
    const int day20261206 = DaysFromCivil(2026, 12, 6);
    const struct {
        const char* time;
        int utcDay;  // days after 2026-12-06, or 99 for refused
    } rows[] = {
        {"2026-12-06T10:00:07.005+01:00", 0},
        {"2026-12-06T00:30:00+01:00", -1},
        {"2026-12-06T23:30:00-01:00", 1},
        {"2026-12-06T23:59:59.999999Z", 0},
        {"2026-12-06T10:00:07.1234567Z", 99},
        {"2026-12-06T10:00:07.Z", 99},
        {"2024-02-29T10:00:00Z", DaysFromCivil(2024, 2, 29) - day20261206},
        {"2026-02-29T10:00:00Z", 99},
        {"1900-02-29T10:00:00Z", 99},
        {"2000-02-29T10:00:00Z", DaysFromCivil(2000, 2, 29) - day20261206},
        {"0000-01-01T00:00:00Z", 99},
        {"2026-13-01T00:00:00Z", 99},
        {"2026-12-06T24:00:00Z", 99},
        {"2026-12-06T10:60:00Z", 99},
        {"2026-12-06T10:00:60Z", 99},
        {"2026-12-06T10:00:00+15:59", -1},
        {"2026-12-06T10:00:00+16:00", 99},
        {"2026-12-06T10:00:00+0100", 99},
        {"2026-12-06 10:00:00Z", 99},
        {"2026-12-06T10:00:00", 99},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.time);
        const IncomingRecord record = ParseIncomingRecord(Message(row.time));
        if (row.utcDay == 99) {
            EXPECT_TRUE(std::holds_alternative<RejectedRecord>(record));
        } else {
            ASSERT_TRUE(std::holds_alternative<IncomingMessage>(record)) << Outcome(record);
            EXPECT_EQ(std::get<IncomingMessage>(record).utcDay, day20261206 + row.utcDay);
        }
    }
}
