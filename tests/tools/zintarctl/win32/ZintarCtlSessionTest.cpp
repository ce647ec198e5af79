// zintarctl as a user runs it against the installed service: every line it prints, and every
// syslog datagram it sends to a receiver on 127.0.0.1, checked against what was sent.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "client/win32/ServiceClient.h"
#include "tests/support/LoopbackSockets.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win32/ChildProcess.h"
#include "tests/support/win32/ServiceHarness.h"

using namespace ZintarTest;
using namespace ZintarUtil;
using ZintarClient::ServiceClient;

TEST_F(InstalledService, ZintarctlSession)
{
    SetSetting("DevicePollRate", 100);
    Install();
    ASSERT_TRUE(StartAndWait(kServiceName));
    const std::string ctl = "\"" + WindowsPathOf(std::getenv("ZINTARCTL_EXE")) + "\" ";
    auto run = [&](const std::string& arguments) {
        const TemporaryFile output("zintarctl");
        ChildProcess program(CommandLine{ctl + arguments, output.path});
        const auto exitCode = program.WaitForExit(kChildBound);
        return std::make_pair(exitCode.value_or(99), ReadWholeFile(output.path));
    };

    SCOPED_TRACE("write, and read back in the three formats");
    EXPECT_EQ(run("write --type 2 --text \"hello, \"\"world\"\"\" --aux tag").first, 0u);
    const auto text = run("read -n 1");
    EXPECT_EQ(text.first, 0u);
    EXPECT_NE(text.second.find("  2  hello, \"world\"  [tag]\r\n"), std::string::npos) << text.second;
    EXPECT_NE(run("read --json --type 2").second.find("\"text\":\"hello, \\\"world\\\"\",\"time\""), std::string::npos);
    EXPECT_NE(run("read --csv --text HELLO").second.find("time,type,text,aux\r\n"), std::string::npos);

    SCOPED_TRACE("follow, with syslog to 127.0.0.1, across a restart for new settings");
    DatagramReceiver receiver(std::chrono::milliseconds(5000));
    const TemporaryFile followed("follow");
    ChildProcess follow(CommandLine{ctl + "follow -n 0 --poll 50 --syslog 127.0.0.1:" + std::to_string(receiver.Port()),
                                    followed.path});
    auto lines = [&](bool markers) {
        std::vector<std::string> texts;
        std::stringstream content(ReadWholeFile(followed.path));
        for (std::string line; std::getline(content, line);)
            if (markers || line.find("marker") == std::string::npos)
                texts.push_back(line.substr(line.find("  1  ") + 5, line.find('\r') - line.find("  1  ") - 5));
        return texts;
    };
    // With -n 0, what the log held when the follow began is not printed: markers go in until one
    // comes out.
    for (std::int16_t marker = 1; marker < 10 && lines(true).empty(); ++marker) {
        const LogMessage message = DeviceMessage(marker, 1, "marker");
        ASSERT_EQ(device->Push(&message, 1), 0u);
        WaitUntil([&] { return !lines(true).empty(); }, 2000);
    }
    for (std::int16_t second = 10; second < 13; ++second) {
        const LogMessage message = DeviceMessage(second, 1, "before " + std::to_string(second));
        ASSERT_EQ(device->Push(&message, 1), 0u);
    }
    ASSERT_TRUE(WaitUntil([&] { return lines(false).size() == 3; }));
    EXPECT_EQ(run("settings set --max 40").first, 0u);
    ASSERT_TRUE(WaitUntil([&] { return run("settings get").first == 0 && ReadRing().header.capacity == 40; }));
    for (std::int16_t second = 13; second < 16; ++second) {
        const LogMessage message = DeviceMessage(second, 1, "after " + std::to_string(second));
        ASSERT_EQ(device->Push(&message, 1), 0u);
    }
    ASSERT_TRUE(WaitUntil([&] { return lines(false).size() >= 6; }));
    follow.Terminate();
    EXPECT_EQ(lines(false),
              (std::vector<std::string>{"before 10", "before 11", "before 12", "after 13", "after 14", "after 15"}));
    std::string datagrams;
    for (std::optional<std::string> datagram;
         datagrams.find("after 15") == std::string::npos && (datagram = receiver.Receive());)
        datagrams += *datagram + "\n";
    EXPECT_NE(datagrams.find("zintar - type1 [zintar@32473 aux=\"\" generation=\""), std::string::npos) << datagrams;
    EXPECT_NE(datagrams.find("] after 15"), std::string::npos);

    SCOPED_TRACE("a copy of the running service's log file reads as the log itself");
    const std::string logFile = ServiceClient().GetLogFileName();
    const TemporaryFile copy("copied-log");
    std::ofstream(copy.path, std::ios::binary) << ReadWholeFile(logFile);
    const std::string stored = run("read").second;
    EXPECT_EQ(run("read --file \"" + copy.path + "\"").second, stored);

    SCOPED_TRACE("exit codes: status 0 while it runs and 3 once it stopped, as systemctl's; a stopped service is "
                 "a failure to fix for the other commands, a bad command line a usage error");
    EXPECT_EQ(run("status").first, 0u);
    ASSERT_TRUE(StopAndWait(kServiceName));
    EXPECT_EQ(run("read --file \"" + logFile + "\"").second, stored) << "the file of the stopped service";
    const TemporaryFile newest("newest");
    ChildProcess followDown(CommandLine{ctl + "follow -n 2", newest.path});
    const std::string lastTwo = stored.substr(stored.rfind('\n', stored.rfind('\n', stored.size() - 2) - 1) + 1);
    EXPECT_TRUE(WaitUntil([&] { return ReadWholeFile(newest.path) == lastTwo; }, 10000)) << ReadWholeFile(newest.path);
    followDown.Terminate();
    EXPECT_EQ(run("status").first, 3u);
    const auto read = run("read");
    EXPECT_EQ(read.first, 1u);
    EXPECT_NE(read.second.find("sc start ZintarServer"), std::string::npos) << read.second;
    EXPECT_EQ(run("settings get").first, 1u);
    EXPECT_EQ(run("settings set --types 7").first, 2u);
    EXPECT_EQ(run("bogus").first, 2u);
}
