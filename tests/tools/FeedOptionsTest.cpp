#include <gtest/gtest.h>

#include <cstring>

#include "FeedOptions.h"

using namespace ZintarFeed;

namespace {

FeedOptions Parse(std::vector<std::string> args)
{
    std::string help;
    return ParseFeedOptions(args, help);
}

}  // namespace

TEST(FeedOptions, CommandsWithTheirDefaults)
{
    const FeedOptions push = Parse({"push"});
    EXPECT_EQ(push.command, Command::Push);
    EXPECT_EQ(push.count, 1u);
    EXPECT_FALSE(push.rate.has_value());
    EXPECT_FALSE(push.timeStamp.has_value());
    EXPECT_EQ(Parse({"read"}).command, Command::Read);
    EXPECT_EQ(Parse({"stats"}).command, Command::Stats);
    EXPECT_EQ(Parse({"--help"}).command, Command::Help);
    EXPECT_EQ(Parse({"push", "--help"}).command, Command::Help);
}

TEST(FeedOptions, PushOptionsAreTaken)
{
    const FeedOptions options = Parse({"push", "--type", "3", "--text", "Camera {n}", "--aux", "a",
                                       "--count", "500", "--rate", "250.5", "--batch", "64",
                                       "--busy-timeout", "0"});
    EXPECT_EQ(options.type, 3u);
    EXPECT_EQ(options.text, "Camera {n}");
    EXPECT_EQ(options.auxText, "a");
    EXPECT_EQ(options.count, 500u);
    ASSERT_TRUE(options.rate.has_value());
    EXPECT_DOUBLE_EQ(*options.rate, 250.5);
    EXPECT_EQ(options.batch, 64u);
    EXPECT_EQ(options.busyTimeout, 0u);
    EXPECT_EQ(Parse({"push", "--scenario", "plant"}).scenario, "plant");
}

TEST(FeedOptions, BadCommandLinesAreRefused)
{
    const std::vector<std::vector<std::string>> refused = {
        {}, {"pull"}, {"push", "--type", "4"}, {"push", "--type", "-1"}, {"push", "--count"},
        {"push", "--count", "99999999999999999999"}, {"push", "--rate", "0"}, {"push", "--rate", "fast"},
        {"push", "--batch", "5000"}, {"push", "--batch", "0"}, {"push", "--text", std::string(257, 'x')},
        {"push", "stray"}, {"stats", "--count", "1"}, {"push", "--max", "1"}, {"push", "--scenario", "zoo"},
        {"push", "--time", "2026-02-30T00:00:00"},
    };
    for (const auto& args : refused)
        EXPECT_THROW(Parse(args), UsageError) << ::testing::PrintToString(args);
}

TEST(FeedOptions, TimeStampsAreCheckedAndCarryTheWeekday)
{
    const ZintarUtil::TimeFields t = ParseTimeStamp("2026-12-05T18:41:58.123");
    EXPECT_EQ(t.year, 2026);
    EXPECT_EQ(t.month, 12);
    EXPECT_EQ(t.day, 5);
    EXPECT_EQ(t.hour, 18);
    EXPECT_EQ(t.minute, 41);
    EXPECT_EQ(t.second, 58);
    EXPECT_EQ(t.milliseconds, 123);
    EXPECT_EQ(t.weekday, 6);  // a Saturday
    EXPECT_EQ(ParseTimeStamp("2026-01-31 10:00:00.5").milliseconds, 500);
    EXPECT_EQ(ParseTimeStamp("2026-01-31T10:00:00.05").milliseconds, 50);
    EXPECT_EQ(ParseTimeStamp("2026-01-31T10:00:00").milliseconds, 0);
    EXPECT_EQ(ParseTimeStamp("2024-02-29T23:59:59.999").day, 29);
    for (const char* bad : {"2026-13-01T00:00:00", "2026-01-01T24:00:00", "2026-01-01", "2026-01-01T00:00:00.",
                            "2026-01-01T00:00:00.1234", "2026-01-01X00:00:00", "2026-01-01T00:00:00Z", "",
                            "2026-12-5T-8:41:58.123", "2026-01-01T-1:-5:-9", "2026-02-29T00:00:00",
                            "2026-04-31T00:00:00", "2026-01-01T 1:00:00", "+026-01-01T00:00:00", "2026-01-01T00:00:00.-5"})
        EXPECT_THROW(ParseTimeStamp(bad), UsageError) << bad;
}

TEST(FeedOptions, WeekdaysFollowTheCalendar)
{
    EXPECT_EQ(WeekdayOf(2000, 1, 1), 6);
    EXPECT_EQ(WeekdayOf(2024, 2, 29), 4);
    EXPECT_EQ(WeekdayOf(1601, 1, 1), 1);
}

TEST(FeedOptions, BuiltMessagesCarryNumberTextsAndStamp)
{
    FeedOptions options = Parse({"push", "--type", "2", "--text", "msg {n} of {n}", "--aux", "{n}"});
    const ZintarUtil::TimeFields stamp = ParseTimeStamp("2026-02-01T00:00:00");
    const ZintarUtil::LogMessage message = BuildMessage(options, 42, stamp);
    EXPECT_STREQ(message.text, "msg 42 of 42");
    EXPECT_STREQ(message.auxText, "42");
    EXPECT_EQ(message.type, 2u);
    std::uint64_t index = 0;
    std::memcpy(&index, message.leading, sizeof index);
    EXPECT_EQ(index, 42u);
    EXPECT_EQ(ZintarUtil::SortKeyOf(message), ZintarUtil::SortKeyOf(stamp));
    EXPECT_EQ(DescribeMessage(message), "2026-02-01 00:00:00.000 type 2 msg 42 of 42 | 42");
}

TEST(FeedOptions, PlantScenarioGivesEveryTypeFromNamedSources)
{
    const FeedOptions plant = Parse({"push", "--scenario", "plant"});
    std::uint32_t types = 0;
    for (std::uint64_t i = 0; i < 50; ++i)
        types |= 1u << BuildMessage(plant, i, ParseTimeStamp("2026-02-01T00:00:00")).type;
    EXPECT_EQ(types, 0xFu);
    EXPECT_NE(std::string(BuildMessage(plant, 7, {}).text).find(": "), std::string::npos);
}

TEST(FeedOptions, ExpandedTextIsCutToTheField)
{
    FeedOptions options = Parse({"push", "--text", std::string(253, 'a') + "{n}"});
    const ZintarUtil::LogMessage message = BuildMessage(options, 123456, ParseTimeStamp("2026-02-01T00:00:00"));
    EXPECT_EQ(std::strlen(message.text), 256u);
    EXPECT_EQ(message.text[256], '\0');
}

TEST(FeedOptions, DescribeNeverReadsPastUnterminatedFields)
{
    ZintarUtil::LogMessage message{};
    std::memset(message.text, 'x', sizeof message.text);
    std::memset(message.auxText, 'y', sizeof message.auxText);
    const std::string line = DescribeMessage(message);
    EXPECT_NE(line.find(std::string(257, 'x') + " | " + std::string(257, 'y')), std::string::npos);
}
