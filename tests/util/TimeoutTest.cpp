#include "util/Timeout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

using ZintarUtil::Timeout;

namespace {

// A clock the test moves by hand.
std::int32_t fakeNow = 0;
int fakeReads = 0;
std::int32_t FakeClock()
{
    ++fakeReads;
    return fakeNow;
}

class TimeoutTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakeNow = 1000;
        fakeReads = 0;
    }
};

}  // namespace

TEST_F(TimeoutTest, ZeroIsExpiredAtOnceWithoutReadingTheClockAgain)
{
    Timeout timeout(0, &FakeClock);
    const int readsAtConstruction = fakeReads;
    EXPECT_EQ(timeout.Remaining(), 0u);
    EXPECT_TRUE(timeout.Expired());
    EXPECT_EQ(fakeReads, readsAtConstruction);
}

TEST_F(TimeoutTest, InfiniteNeverExpires)
{
    Timeout timeout(0xFFFFFFFF, &FakeClock);
    fakeNow += 1000000000;
    EXPECT_EQ(timeout.Remaining(), 0xFFFFFFFFu);
    EXPECT_FALSE(timeout.Expired());
}

// Each update subtracts what elapsed since the last one, so nested waits that each use part of
// one budget never expire it early; the clock may wrap.
TEST_F(TimeoutTest, UpdatesTable)
{
    struct Case {
        const char* name;
        std::int32_t start;
        std::vector<std::int32_t> advances;
        std::uint32_t remaining;
    };
    const Case cases[] = {
        {"no time passed", 1000, {0}, 100},       {"one partial use", 1000, {60}, 40},
        {"two partial uses", 1000, {30, 30}, 40}, {"three partial uses", 1000, {10, 20, 30}, 40},
        {"used up", 1000, {60, 50}, 0},           {"across the clock's wrap", INT32_MAX - 10, {30}, 70},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fakeNow = c.start;
        Timeout timeout(100, &FakeClock);
        for (std::int32_t advance : c.advances) {
            fakeNow =
                static_cast<std::int32_t>(static_cast<std::uint32_t>(fakeNow) + static_cast<std::uint32_t>(advance));
            timeout.Remaining();
        }
        EXPECT_EQ(timeout.Remaining(), c.remaining);
        EXPECT_EQ(timeout.Expired(), c.remaining == 0);
    }
}

TEST(Clock, CountsMillisecondsOfWallTime)
{
    // Against the standard steady clock over at least 30 ms: a clock in another unit (processor
    // time, microseconds, seconds) is far off.
    const std::int32_t first = ZintarUtil::ClockMilliseconds();
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(30)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    const std::int32_t counted = ZintarUtil::ClockMilliseconds() - first;
    EXPECT_GE(counted, 25);
    EXPECT_LE(counted, elapsed.count() + 20);
}
