#include "tools/zintar-feed/FeedOptions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "util/TimeStamps.h"

using namespace ZintarFeed;

namespace {

FeedOptions Parse(std::vector<std::string> args)
{
    std::string help;
    return ParseFeedOptions(args, help).value();
}

ZintarUtil::TimeFields Time(const char* text)
{
    return *ZintarUtil::ParseTimeStamp(text);
}

}  // namespace

TEST(FeedOptions, CommandLineTable)
{
    struct Case {
        std::vector<std::string> args;
        std::function<bool(const FeedOptions&)> holds;  // null: refused with a usage error
    };
    const Case cases[] = {
        {{"push"},
         [](const FeedOptions& o) {
             return o.command == Command::Push && o.count == 1 && !o.rate && !o.timeStamp && o.batch == 256;
         }},
        {{"read"}, [](const FeedOptions& o) { return o.command == Command::Read; }},
        {{"stats"}, [](const FeedOptions& o) { return o.command == Command::Stats; }},
        {{"push", "--type", "3", "--text", "Camera {n}", "--aux", "a", "--count", "500", "--rate", "250.5", "--batch",
          "64", "--busy-timeout", "0"},
         [](const FeedOptions& o) {
             return o.type == 3 && o.text == "Camera {n}" && o.auxText == "a" && o.count == 500 && o.rate == 250.5 &&
                    o.batch == 64 && o.busyTimeout == 0;
         }},
        {{"push", "--scenario", "plant"}, [](const FeedOptions& o) { return o.scenario == "plant"; }},
        {{"push", "--time", "2026-02-01T00:00:00.5"},
         [](const FeedOptions& o) { return o.timeStamp && o.timeStamp->milliseconds == 500; }},
        {{}, nullptr},
        {{"pull"}, nullptr},
        {{"push", "--type", "4"}, nullptr},
        {{"push", "--type", "-1"}, nullptr},
        {{"push", "--count"}, nullptr},
        {{"push", "--count", "99999999999999999999"}, nullptr},
        {{"push", "--rate", "0"}, nullptr},
        {{"push", "--rate", "fast"}, nullptr},
        {{"push", "--batch", "5000"}, nullptr},
        {{"push", "--batch", "0"}, nullptr},
        {{"push", "--text", std::string(257, 'x')}, nullptr},
        {{"push", "stray"}, nullptr},
        {{"stats", "--count", "1"}, nullptr},
        {{"push", "--max", "1"}, nullptr},
        {{"push", "--scenario", "zoo"}, nullptr},
        {{"push", "--time", "2026-02-30T00:00:00"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        if (!c.holds) {
            EXPECT_THROW(Parse(c.args), ZintarUtil::UsageError);
            continue;
        }
        EXPECT_TRUE(c.holds(Parse(c.args)));
    }
    std::string help;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"help"}, {"/?"}, {"push", "--help"}})
        EXPECT_FALSE(ParseFeedOptions(args, help).has_value()) << ::testing::PrintToString(args);
    EXPECT_NE(help.find("--busy-timeout"), std::string::npos) << "the help of the command asked about";
}

TEST(FeedOptions, BuiltMessagesCarryNumberTextsAndStamp)
{
    FeedOptions options = Parse({"push", "--type", "2", "--text", "msg {n} of {n}", "--aux", "{n}"});
    const ZintarUtil::TimeFields stamp = Time("2026-02-01T00:00:00");
    const ZintarUtil::LogMessage message = BuildMessage(options, 42, stamp);
    EXPECT_STREQ(message.text, "msg 42 of 42");
    EXPECT_STREQ(message.auxText, "42");
    EXPECT_EQ(message.type, 2u);
    std::uint64_t index = 0;
    std::memcpy(&index, message.leading, sizeof index);
    EXPECT_EQ(index, 42u);
    EXPECT_EQ(ZintarUtil::SortKeyOf(message), ZintarUtil::SortKeyOf(stamp));
    EXPECT_EQ(DescribeMessage(message), "2026-02-01 00:00:00.000 type 2 msg 42 of 42 | 42");

    const FeedOptions plant = Parse({"push", "--scenario", "plant"});
    std::uint32_t types = 0;
    for (std::uint64_t i = 0; i < 50; ++i)
        types |= 1u << BuildMessage(plant, i, stamp).type;
    EXPECT_EQ(types, 0xFu) << "the plant scenario gives every type";
    EXPECT_NE(std::string(BuildMessage(plant, 7, {}).text).find(": "), std::string::npos);

    options = Parse({"push", "--text", std::string(253, 'a') + "{n}"});
    EXPECT_EQ(std::strlen(BuildMessage(options, 123456, stamp).text), 256u) << "expanded text is cut to the field";
}

TEST(FeedOptions, DescribeNeverReadsPastUnterminatedFields)
{
    ZintarUtil::LogMessage message{};
    std::memset(message.text, 'x', sizeof message.text);
    std::memset(message.auxText, 'y', sizeof message.auxText);
    const std::string line = DescribeMessage(message);
    EXPECT_NE(line.find(std::string(257, 'x') + " | " + std::string(257, 'y')), std::string::npos);
}
