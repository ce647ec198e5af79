#include "util/TimeStamps.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

using ZintarUtil::ParseTimeStamp;
using ZintarUtil::TimeFields;

TEST(TimeStamps, ReadTable)
{
    struct Case {
        const char* text;
        std::optional<TimeFields> fields;  // {year, month, day, hour, minute, second, ms, weekday}
    };
    const Case cases[] = {
        {"2026-12-05T18:41:58.123", TimeFields{2026, 12, 5, 18, 41, 58, 123, 6}},  // a Saturday
        {"2026-01-31 10:00:00.5", TimeFields{2026, 1, 31, 10, 0, 0, 500, 6}},
        {"2026-01-31T10:00:00.05", TimeFields{2026, 1, 31, 10, 0, 0, 50, 6}},
        {"2026-01-31T10:00:00", TimeFields{2026, 1, 31, 10, 0, 0, 0, 6}},
        {"2024-02-29T23:59:59.999", TimeFields{2024, 2, 29, 23, 59, 59, 999, 4}},
        {"2000-01-01T00:00:00", TimeFields{2000, 1, 1, 0, 0, 0, 0, 6}},
        {"1601-01-01T00:00:00", TimeFields{1601, 1, 1, 0, 0, 0, 0, 1}},
        {"2026-13-01T00:00:00", {}},
        {"2026-01-01T24:00:00", {}},
        {"2026-01-01", {}},
        {"2026-01-01T00:00:00.", {}},
        {"2026-01-01T00:00:00.1234", {}},
        {"2026-01-01X00:00:00", {}},
        {"2026-01-01T00:00:00Z", {}},
        {"", {}},
        {"2026-12-5T-8:41:58.123", {}},
        {"2026-01-01T-1:-5:-9", {}},
        {"2026-02-29T00:00:00", {}},
        {"2026-04-31T00:00:00", {}},
        {"2026-01-01T 1:00:00", {}},
        {"+026-01-01T00:00:00", {}},
        {"2026-01-01T00:00:00.-5", {}},
        {"1600-12-31T23:59:59", {}},
    };
    for (const Case& c : cases) {
        const std::optional<TimeFields> read = ParseTimeStamp(c.text);
        ASSERT_EQ(read.has_value(), c.fields.has_value()) << c.text;
        if (read) {
            EXPECT_EQ(0, std::memcmp(&*read, &*c.fields, sizeof(TimeFields))) << c.text;
        }
    }
    EXPECT_EQ(ZintarUtil::TimeStampText(*ParseTimeStamp("2026-01-31 10:00:00.05")), "2026-01-31 10:00:00.050");
    EXPECT_EQ(ZintarUtil::TimeStampText(*ParseTimeStamp("2026-01-31 10:00:00"), 'T'), "2026-01-31T10:00:00.000");
    const TimeFields early{999, 2, 3, 4, 5, 6, 7, 0};  // every field padded
    using End = ZintarUtil::TimeStampEnd;
    EXPECT_EQ(ZintarUtil::TimeStampText(early, ' ', End::Day), "0999-02-03");
    EXPECT_EQ(ZintarUtil::TimeStampText(early, ' ', End::Minute), "0999-02-03 04:05");
    EXPECT_EQ(ZintarUtil::TimeStampText(early, 'T', End::Second), "0999-02-03T04:05:06");
    EXPECT_EQ(ZintarUtil::CompactTimeStampText(early), "09990203-040506");
}

// The words journalctl takes, relative to 00:30:15.250 on Sunday 1 March 2026 (the day after
// the last of February, so that a day back crosses a month).
TEST(TimeStamps, WordsTable)
{
    const TimeFields now{2026, 3, 1, 0, 30, 15, 250, 0};
    const std::pair<const char*, const char*> cases[] = {
        {"today", "2026-03-01 00:00:00.000"},
        {"yesterday", "2026-02-28 00:00:00.000"},
        {"-10m", "2026-03-01 00:20:15.250"},
        {"-2h", "2026-02-28 22:30:15.250"},
        {"-45s", "2026-03-01 00:29:30.250"},
        {"-366d", "2025-02-28 00:30:15.250"},
        {"2026-01-02T03:04:05", "2026-01-02 03:04:05.000"},
        {"-2", nullptr},
        {"-h", nullptr},
        {"-2x", nullptr},
        {"+2h", nullptr},
        {"Today", nullptr},
        {"-1234567m", nullptr},
        {"-12345678901d", nullptr},
        {"-999999d", "1601-01-01 00:00:00.000"},
    };
    for (const auto& [text, expected] : cases) {
        const std::optional<TimeFields> read = ZintarUtil::ParseTimeOrWord(text, now);
        ASSERT_EQ(read.has_value(), expected != nullptr) << text;
        if (read) {
            EXPECT_EQ(ZintarUtil::TimeStampText(*read), expected) << text;
            EXPECT_EQ(read->weekday, ZintarUtil::WeekdayOf(read->year, read->month, read->day)) << text;
        }
    }
}
