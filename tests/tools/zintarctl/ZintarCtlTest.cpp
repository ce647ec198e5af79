// zintarctl's portable parts: its command line, which messages it selects, how it prints them,
// and that follow prints the newest stored first and nothing twice (each message once across
// restarts and rewrites: tests/util/LogCursorTest.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "tests/support/LogImageBuilder.h"
#include "tools/zintarctl/CtlCommandLine.h"
#include "tools/zintarctl/FollowPrinter.h"
#include "tools/zintarctl/MessageOutput.h"
#include "tools/zintarctl/MessageSelection.h"
#include "tools/zintarctl/StatusReport.h"
#include "util/CommandLineValues.h"
#include "util/Exceptions.h"
#include "util/SyslogRecord.h"

using namespace ZintarCtl;
using ZintarTest::RecordAt;
using ZintarUtil::MessageRecord;

namespace {

std::string UsageErrorOf(const std::vector<std::string>& args)
{
    std::string help;
    try {
        return ParseCtlCommand(args, help) ? "(accepted)" : "(help)";
    } catch (const ZintarUtil::UsageError& e) {
        return e.what();
    }
}

}  // namespace

TEST(ZintarCtl, CommandLines)
{
    std::string help;
    const CtlCommand set = *ParseCtlCommand({"settings", "set", "--poll", "250", "--types", "0,3"}, help);
    EXPECT_EQ(set.verb, Verb::SettingsSet);
    EXPECT_EQ(set.devicePollRate, 250u);
    EXPECT_EQ(set.typeFilter, 0b1001u);
    EXPECT_FALSE(set.maxMessage.has_value()) << "what is not given is sent back unchanged";
    const CtlCommand follow = *ParseCtlCommand({"-f", "--json", "--type", "1,2", "--text", "Cam"}, help);
    EXPECT_EQ(follow.verb, Verb::Follow);
    EXPECT_EQ(follow.format, Format::Json);
    EXPECT_EQ(follow.types, 0b0110u);
    EXPECT_FALSE(ParseCtlCommand({"read", "--help"}, help).has_value());
    EXPECT_NE(help.find("Usage: zintarctl read [OPTIONS]"), std::string::npos) << "the help of the command asked about";
    for (const char* asked : {"help", "/?"})  // as zintar-forward and zintar-feed take them
        EXPECT_FALSE(ParseCtlCommand({asked}, help).has_value()) << asked;

    const std::vector<std::vector<std::string>> refused = {
        {},
        {"settings"},
        {"settings", "set"},
        {"settings", "set", "--max", "0"},
        {"settings", "set", "--types", "4"},
        {"settings", "set", "--types", ""},
        {"write", "--type", "1"},
        {"write", "--text", std::string(257, 'x')},
        {"read", "--format", "xml"},
        {"read", "-n", "many"},
        {"filters", "add"},
        {"follow", "--poll", "1"},
        {"read", "--color", "sometimes"},
    };
    for (const auto& args : refused)
        EXPECT_NE(UsageErrorOf(args).front(), '(') << ::testing::PrintToString(args);
}

TEST(ZintarCtl, SelectionTable)
{
    const std::vector<MessageRecord> newestFirst = {RecordAt(4, 3, "Disk full"), RecordAt(3, 2, "camera 2"),
                                                    RecordAt(2, 0, "Camera 1"), RecordAt(1, 1, "boot")};
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> texts;  // oldest first
    };
    const Case cases[] = {
        {{"read"}, {"boot", "Camera 1", "camera 2", "Disk full"}},
        {{"read", "-n", "2"}, {"camera 2", "Disk full"}},
        {{"read", "--type", "0,2"}, {"Camera 1", "camera 2"}},
        {{"read", "--text", "CAM"}, {"Camera 1", "camera 2"}},
        {{"read", "--grep", "[0-9]$"}, {"Camera 1", "camera 2"}},
        {{"read", "--since", "2026-12-06T10:00:02.005", "--until", "2026-12-06T10:00:03"}, {"Camera 1"}},
        {{"read", "-n", "1", "--type", "0"}, {"Camera 1"}},
        {{"read", "--since", "-2s"}, {"camera 2", "Disk full"}},  // now is 10:00:05.005
        {{"read", "--since", "yesterday", "--until", "today"}, {}},
    };
    std::string help;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const CtlCommand command = *ParseCtlCommand(c.args, help);
        std::vector<std::string> texts;
        const ZintarUtil::TimeFields now{2026, 12, 6, 10, 0, 5, 5, 0};
        for (const MessageRecord& record : Select(newestFirst, SelectionOf(command, now), command.last))
            texts.emplace_back(record.message.text);
        EXPECT_EQ(texts, c.texts);
    }
    const std::vector<std::string> refused = {"(", "(a)\\12345678901234567890", "a{1,12345678901234567890}",
                                              std::string(4000, '(')};
    for (const std::string& grep : refused)
        EXPECT_THROW(SelectionOf(*ParseCtlCommand({"read", "--grep", grep}, help), {}), ZintarUtil::UsageError) << grep;
}

// The habits of systemctl and of the tools that honour NO_COLOR.
TEST(ZintarCtl, StatusExitCodesAndColourTables)
{
    using S = ServiceState;
    const std::tuple<S, bool, int> codes[] = {{S::Running, true, 0},       {S::Running, false, 1},
                                              {S::Stopped, false, 3},      {S::Pending, false, 3},
                                              {S::NotInstalled, false, 3}, {S::Unknown, false, 1}};
    for (const auto& [state, answered, code] : codes)
        EXPECT_EQ(StatusExitCode(state, answered), code) << static_cast<int>(state) << answered;

    using C = ColorChoice;
    const std::tuple<C, bool, const char*, bool> colours[] = {
        {C::Auto, true, nullptr, true}, {C::Auto, false, nullptr, false}, {C::Auto, true, "1", false},
        {C::Auto, true, "", true},      {C::Always, false, "1", true},    {C::Never, true, nullptr, false}};
    for (const auto& [choice, console, noColor, expected] : colours)
        EXPECT_EQ(UseColor(choice, console, noColor), expected)
            << static_cast<int>(choice) << console << (noColor ? noColor : "-");
    EXPECT_EQ(MessageLine(RecordAt(7, 3, "Disk full"), Format::Text, true),
              "2026-12-06 10:00:07.005  \x1b[1;31m3  Disk full\x1b[0m");
    std::string help;
    const CtlCommand read = *ParseCtlCommand({"read", "--color", "never", "--utc"}, help);
    EXPECT_TRUE(read.color == ColorChoice::Never && read.utc);
    const StatusReport everyType{S::Running, "running", true, ZintarClient::Settings{.typeFilter = 0b1111}};
    EXPECT_NE(StatusText(everyType).find("types kept     0,1,2,3\n"), std::string::npos) << StatusText(everyType);
}

TEST(ZintarCtl, OutputFormats)
{
    MessageRecord record = RecordAt(7, 2, "say \"hi\"", "usb");
    EXPECT_EQ(MessageLine(record, Format::Text), "2026-12-06 10:00:07.005  2  say \"hi\"  [usb]");
    EXPECT_EQ(MessageLine(record, Format::Csv), "2026-12-06 10:00:07.005,2,\"say \"\"hi\"\"\",\"usb\"");
    EXPECT_EQ(
        MessageLine(record, Format::Json),
        "{\"aux\":\"usb\",\"sequence\":7,\"text\":\"say \\\"hi\\\"\",\"time\":\"2026-12-06T10:00:07.005\",\"type\":2}");
    std::memset(record.message.text, '\xE9', sizeof record.message.text);  // no NUL, and no UTF-8
    EXPECT_EQ(MessageLine(record, Format::Text).size(), 23 + 2 + 1 + 2 + 257 + 7u) << "read to the field's end";
    EXPECT_NE(MessageLine(record, Format::Json).find("\xEF\xBF\xBD"), std::string::npos);
}

// follow -n: the newest N stored first, from the ring or the file on disk, then what is new, and
// nothing twice across the seam.
TEST(ZintarCtl, FollowStartsWithTheNewestStoredAndPrintsNothingTwice)
{
    const MessageRecord a = RecordAt(1, 0, "a"), b = RecordAt(2, 1, "b"), c = RecordAt(3, 0, "c"),
                        d = RecordAt(4, 0, "d");
    auto texts = [](const std::vector<MessageRecord>& records) {
        std::string joined;
        for (const MessageRecord& record : records)
            joined += record.message.text;
        return joined;
    };
    auto ring = [](std::vector<MessageRecord> newestFirst) {
        ZintarUtil::LogImageContent log;
        log.header.nextSequence = newestFirst.empty() ? 0 : newestFirst.front().sequence + 1;
        log.newestFirst = std::move(newestFirst);
        return log;
    };
    std::string help;
    const Selection all = SelectionOf(*ParseCtlCommand({"follow"}, help), {});

    FollowPrinter fromDisk(all, 2);
    EXPECT_EQ(texts(fromDisk.Look(ring({c, b, a}))), "bc") << "the file on disk, while the service is down";
    EXPECT_EQ(texts(fromDisk.Look(ring({d, c, b, a}))), "d") << "the service's ring once it is back";
    EXPECT_EQ(texts(fromDisk.Look(ring({RecordAt(5, 0, "e"), d, c, b, a}))), "e");

    FollowPrinter nothingReadable(all, 10);
    EXPECT_EQ(texts(nothingReadable.Look(ring({}))), "");
    EXPECT_EQ(texts(nothingReadable.Look(ring({b, a}))), "ab") << "with no file to read, everything is new";

    FollowPrinter typeZero(SelectionOf(*ParseCtlCommand({"follow", "--type", "0"}, help), {}), 1);
    EXPECT_EQ(texts(typeZero.Look(ring({c, b, a}))), "c");
    EXPECT_EQ(ParseCtlCommand({"follow", "-n", "3", "--file", "copy.dat"}, help)->last, 3u);
}

TEST(ZintarCtl, SyslogMessagesFollowRfc5424)
{
    using ZintarUtil::SplitHostPort;
    MessageRecord record = RecordAt(7, 3, "Disk full");
    std::strcpy(record.message.auxText, "vol \"C\" [1]\\");
    EXPECT_EQ(
        ZintarUtil::SyslogRecord(record, 4, {"PLANT PC", 60, 16}),
        "<133>1 2026-12-06T10:00:07.005+01:00 PLANTPC zintar - type3 [zintar@32473 aux=\"vol \\\"C\\\" [1\\]\\\\\" "
        "generation=\"4\" sequence=\"7\" digest=\"c01a225436a13464\"] Disk full");
    EXPECT_EQ(ZintarUtil::SyslogRecord(record, 4, {"", -330, 23}).substr(0, 40),
              "<189>1 2026-12-06T10:00:07.005-05:30 - z");
    EXPECT_EQ(ZintarUtil::SyslogGapRecord(12, 5, record.message.timeStamp, {"alpha", 0, 16}),
              "<133>1 2026-12-06T10:00:07.005+00:00 alpha zintar - gap [zintar@32473 lost=\"12\" generation=\"5\"] "
              "12 messages were overwritten in the log before they could be forwarded");
    EXPECT_EQ(SplitHostPort("127.0.0.1:514", "--syslog"), (std::pair<std::string, std::string>{"127.0.0.1", "514"}));
    EXPECT_EQ(SplitHostPort("[::1]:514", "--syslog"), (std::pair<std::string, std::string>{"::1", "514"}));
    for (const char* bad : {"127.0.0.1", ":514", "host:", "host:0", "host:65536", "host:5x", "::1:514", "[]:514"})
        EXPECT_THROW(SplitHostPort(bad, "--syslog"), ZintarUtil::UsageError) << bad;
}
