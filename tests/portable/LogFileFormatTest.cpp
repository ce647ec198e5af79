#include <gtest/gtest.h>

#include <cstring>

#include "LogFileFormat.h"
#include "LogImageBuilder.h"

using namespace ZintarUtil;

namespace {

TimeFields Stamp(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                 int milliseconds = 0, int weekday = 0)
{
    return TimeFields{static_cast<std::int16_t>(year),   static_cast<std::int16_t>(month),
                      static_cast<std::int16_t>(day),    static_cast<std::int16_t>(hour),
                      static_cast<std::int16_t>(minute), static_cast<std::int16_t>(second),
                      static_cast<std::int16_t>(milliseconds), static_cast<std::int16_t>(weekday)};
}

constexpr std::uint64_t kDay = 86400000;

}  // namespace

TEST(SortKey, FollowsTheFormulaWithThirtyOneDayMonths)
{
    EXPECT_EQ(SortKeyOf(Stamp(0, 0, 0, 0, 0, 0, 7)), 7u);
    const std::uint64_t expected = ((((((2026ull * 12 + 12) * 31 + 5) * 24 + 18) * 60 + 41) * 60 + 58) * 1000 + 123);
    EXPECT_EQ(SortKeyOf(Stamp(2026, 12, 5, 18, 41, 58, 123)), expected);
}

TEST(SortKey, IgnoresTheWeekday)
{
    EXPECT_EQ(SortKeyOf(Stamp(2026, 3, 4, 5, 6, 7, 8, 1)), SortKeyOf(Stamp(2026, 3, 4, 5, 6, 7, 8, 6)));
}

TEST(SortKey, CountsEveryMonthAsThirtyOneDays)
{
    EXPECT_EQ(SortKeyOf(Stamp(2026, 2, 1)) - SortKeyOf(Stamp(2026, 1, 31)), kDay);
    EXPECT_EQ(SortKeyOf(Stamp(2026, 5, 1)) - SortKeyOf(Stamp(2026, 4, 30)), 2 * kDay);
}

TEST(SortKey, NegativeFieldGivesAVeryLargeUnsignedKey)
{
    EXPECT_GT(SortKeyOf(Stamp(-1, 1, 1)), SortKeyOf(Stamp(32767, 12, 31, 23, 59, 59, 999)));
    EXPECT_EQ(SortKeyOf(Stamp(0, 0, 0, 0, 0, 0, -1)), UINT64_MAX);
}

TEST(SortKey, ReadsThePackedMessage)
{
    LogMessage message = ZintarTest::MessageWithKey(123456);
    EXPECT_EQ(SortKeyOf(message), 123456u);
}

TEST(LogFileFormat, FileLengthIsComputedInThirtyTwoBits)
{
    EXPECT_EQ(FileLengthFor(50000), 28000240u);
    EXPECT_EQ(FileLengthFor(kMaxCapacity), 4294967280u);
    EXPECT_EQ(FileLengthFor(kMaxCapacity + 1), (kMaxCapacity + 1u) * 560u + 240u);  // wrapped
    EXPECT_LT(FileLengthFor(kMaxCapacity + 1), FileLengthFor(kMaxCapacity));
}

TEST(LogFileFormat, StorableCapacityExcludesZeroAndLengthsBeyondThirtyTwoBits)
{
    EXPECT_FALSE(IsStorableCapacity(0));
    EXPECT_TRUE(IsStorableCapacity(1));
    EXPECT_TRUE(IsStorableCapacity(kMaxCapacity));
    EXPECT_FALSE(IsStorableCapacity(kMaxCapacity + 1));
    EXPECT_FALSE(IsStorableCapacity(0xFFFFFFFF));
}

TEST(RingWalk, FullRingOfThreeWithNextSlotOne)
{
    EXPECT_EQ(NewestFirstSlot(1, 3, 0), 0);
    EXPECT_EQ(NewestFirstSlot(1, 3, 1), 2);
    EXPECT_EQ(NewestFirstSlot(1, 3, 2), 1);
}

TEST(RingWalk, NextSlotZeroStartsAtTheLastSlot)
{
    EXPECT_EQ(NewestFirstSlot(0, 4, 0), 3);
    EXPECT_EQ(NewestFirstSlot(0, 4, 3), 0);
    EXPECT_EQ(NewestFirstSlot(0, 1, 0), 0);
}

TEST(RingWalk, AppendedRecordsReadBackNewestFirst)
{
    ZintarTest::LogImage image(3);
    for (std::uint64_t key : {10, 20, 30, 40})
        image.Append(ZintarTest::MessageWithKey(key));
    const FileHeader& header = image.Header();
    ASSERT_EQ(header.messageCount, 3);
    ASSERT_EQ(header.nextSlot, 1);
    std::vector<std::uint64_t> keys;
    for (std::int32_t i = 0; i < header.messageCount; ++i)
        keys.push_back(SortKeyOf(image.Slot(NewestFirstSlot(header.nextSlot, header.capacity, i)).message));
    EXPECT_EQ(keys, (std::vector<std::uint64_t>{40, 30, 20}));
}
