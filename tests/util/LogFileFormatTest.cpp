#include "util/LogFileFormat.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/LogImageBuilder.h"

using namespace ZintarUtil;

namespace {

TimeFields Stamp(int year, int month, int day, int milliseconds = 0, int weekday = 0)
{
    return TimeFields{static_cast<std::int16_t>(year),
                      static_cast<std::int16_t>(month),
                      static_cast<std::int16_t>(day),
                      0,
                      0,
                      0,
                      static_cast<std::int16_t>(milliseconds),
                      static_cast<std::int16_t>(weekday)};
}

constexpr std::uint64_t kDay = 86400000;

}  // namespace

TEST(SortKey, MonthsOfThirtyOneDaysNoWeekdayAndUnsignedOrder)
{
    EXPECT_EQ(SortKeyOf(Stamp(2026, 2, 1)) - SortKeyOf(Stamp(2026, 1, 31)), kDay);
    EXPECT_EQ(SortKeyOf(Stamp(2026, 5, 1)) - SortKeyOf(Stamp(2026, 4, 30)), 2 * kDay);
    EXPECT_EQ(SortKeyOf(Stamp(2026, 3, 4, 8, 1)), SortKeyOf(Stamp(2026, 3, 4, 8, 6)));
    EXPECT_GT(SortKeyOf(Stamp(-1, 1, 1)), SortKeyOf(Stamp(32767, 12, 31, 999)));
    EXPECT_EQ(SortKeyOf(Stamp(0, 0, 0, -1)), UINT64_MAX);
    EXPECT_EQ(SortKeyOf(ZintarTest::MessageWithKey(123456)), ZintarTest::kKeyBase + 123456)
        << "read from the packed message";
}

TEST(LogFileFormat, StorableCapacityKeepsTheLengthWithinThirtyTwoBits)
{
    EXPECT_EQ(FileLengthFor(kMaxCapacity), 4294967280u);
    EXPECT_LT(FileLengthFor(kMaxCapacity + 1), FileLengthFor(kMaxCapacity)) << "wraps";
    for (std::uint32_t limit : {0u, kMaxCapacity + 1, 0xFFFFFFFFu})
        EXPECT_FALSE(IsStorableCapacity(limit)) << limit;
    for (std::uint32_t limit : {1u, kMaxCapacity})
        EXPECT_TRUE(IsStorableCapacity(limit)) << limit;
}

TEST(RingWalk, Table)
{
    struct Case {
        std::int32_t nextSlot, capacity, i, slot;
    };
    const Case cases[] = {{1, 3, 0, 0}, {1, 3, 1, 2}, {1, 3, 2, 1}, {0, 4, 0, 3},
                          {0, 4, 3, 0}, {0, 1, 0, 0}, {2, 3, 2, 2}, {0, 7669584, 7669583, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(NewestFirstSlot(c.nextSlot, c.capacity, c.i), c.slot)
            << c.nextSlot << " " << c.capacity << " " << c.i;
}

TEST(RingWalk, OldestFirstIsTheNewestFirstWalkReversed)
{
    for (std::int32_t capacity = 1; capacity <= 5; ++capacity) {
        std::vector<unsigned char> slots(static_cast<std::size_t>(capacity) * kRecordSize);
        for (std::int32_t nextSlot = 0; nextSlot < capacity; ++nextSlot) {
            for (std::int32_t count = 0; count <= capacity; ++count) {
                FileHeader header{};
                header.capacity = capacity;
                header.nextSlot = nextSlot;
                std::vector<const MessageRecord*> newest, oldest;
                ForEachNewestFirst(header, slots.data(), count, [&](const MessageRecord& r) {
                    newest.push_back(&r);
                    return true;
                });
                ForEachOldestFirst(header, slots.data(), count, [&](const MessageRecord& r) {
                    oldest.push_back(&r);
                    return true;
                });
                EXPECT_EQ(std::vector<const MessageRecord*>(newest.rbegin(), newest.rend()), oldest)
                    << nextSlot << " " << capacity << " " << count;
            }
        }
    }
}
