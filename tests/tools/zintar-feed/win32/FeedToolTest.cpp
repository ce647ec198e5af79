// zintar-feed against the loaded driver: what it pushes arrives byte-exact and in order, and its
// exit codes tell a full device queue and a refused command line apart.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/support/win32/ChildProcess.h"
#include "util/win32/ZintarDeviceClient.h"

using namespace ZintarUtil;
using ZintarTest::ChildProcess;
using ZintarTest::kChildBound;

namespace {

std::string FeedTool()
{
    const char* path = std::getenv("ZINTAR_FEED_EXE");
    return path != nullptr ? path : "zintar-feed.exe";
}

std::optional<std::uint32_t> RunFeed(const std::string& arguments)
{
    ChildProcess feed(ZintarTest::CommandLine{"\"" + FeedTool() + "\" " + arguments});
    return feed.WaitForExit(kChildBound);
}

class FeedTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogMessage message;
        while (device.ReadMessage(message)) {
        }
    }

    ZintarDeviceClient device;
};

}  // namespace

TEST_F(FeedTool, PushedMessagesArriveInOrderWithTheirFields)
{
    ASSERT_EQ(RunFeed("push --count 300 --batch 7 --type 2 --text \"Camera {n}\" --aux \"aux {n}\" "
                      "--time 2026-01-31T10:20:30.456"),
              0u);
    LogMessage message;
    for (std::uint64_t i = 0; i < 300; ++i) {
        ASSERT_TRUE(device.ReadMessage(message)) << i;
        std::uint64_t index = 0;
        std::memcpy(&index, message.leading, sizeof index);
        EXPECT_EQ(index, i);
        EXPECT_EQ(std::string(message.text), "Camera " + std::to_string(i));
        EXPECT_EQ(std::string(message.auxText), "aux " + std::to_string(i));
        EXPECT_EQ(message.type, 2u);
        EXPECT_EQ(message.timeStamp.year, 2026);
        EXPECT_EQ(message.timeStamp.month, 1);
        EXPECT_EQ(message.timeStamp.day, 31);
        EXPECT_EQ(message.timeStamp.milliseconds, 456);
        EXPECT_EQ(message.timeStamp.weekday, 6);
    }
    EXPECT_FALSE(device.ReadMessage(message));
}

TEST_F(FeedTool, PacedPushDeliversEveryMessage)
{
    ASSERT_EQ(RunFeed("push --count 50 --rate 500"), 0u);
    EXPECT_EQ(device.Stats().queued, 50u);
}

TEST_F(FeedTool, FullQueueEndsWithExitCodeThreeAndLosesNothingAlreadyQueued)
{
    ASSERT_EQ(RunFeed("push --count 65536 --batch 4096"), 0u);
    EXPECT_EQ(RunFeed("push --count 1 --busy-timeout 0"), 3u);
    EXPECT_EQ(device.Stats().queued, 65536u);
}

TEST_F(FeedTool, BadCommandLineEndsWithExitCodeTwo)
{
    EXPECT_EQ(RunFeed("push --type 9"), 2u);
    EXPECT_EQ(RunFeed("launch"), 2u);
    EXPECT_EQ(device.Stats().queued, 0u);
}
