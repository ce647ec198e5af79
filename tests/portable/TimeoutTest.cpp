#include <gtest/gtest.h>

#include "Timeout.h"

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

TEST_F(TimeoutTest, EachUpdateSubtractsWhatElapsedSinceTheLast)
{
    Timeout timeout(100, &FakeClock);
    fakeNow += 60;
    EXPECT_EQ(timeout.Remaining(), 40u);
    fakeNow += 50;
    EXPECT_EQ(timeout.Remaining(), 0u);
    EXPECT_TRUE(timeout.Expired());
}

TEST_F(TimeoutTest, NoTimePassedLeavesTheBudget)
{
    Timeout timeout(100, &FakeClock);
    EXPECT_EQ(timeout.Remaining(), 100u);
    EXPECT_FALSE(timeout.Expired());
}

TEST_F(TimeoutTest, SurvivesTheClockWrapping)
{
    fakeNow = INT32_MAX - 10;
    Timeout timeout(100, &FakeClock);
    fakeNow = INT32_MIN + 19;  // 30 ms later, across the wrap
    EXPECT_EQ(timeout.Remaining(), 70u);
}

TEST_F(TimeoutTest, SharedInfiniteBudgetIsNeverWritten)
{
    EXPECT_EQ(ZintarUtil::InfiniteTimeout.Remaining(), 0xFFFFFFFFu);
    EXPECT_FALSE(ZintarUtil::InfiniteTimeout.Expired());
}

