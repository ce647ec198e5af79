#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "LogImageBuilder.h"
#include "WriteQueue.h"

using namespace ZintarServer;
using ZintarTest::MessageWithKey;
using ZintarUtil::FileHeader;
using ZintarUtil::MessageRecord;

namespace {

// A ring in memory that records what each flush wrote where.
struct Ring {
    explicit Ring(std::int32_t capacity)
    {
        header.capacity = capacity;
        header.generation = 2;
        slots.resize(static_cast<std::size_t>(capacity));
    }

    void Flush(WriteQueue& queue)
    {
        written.clear();
        queue.WritePending(header, [this](std::int32_t slot, const MessageRecord& record) {
            slots.at(static_cast<std::size_t>(slot)) = record;
            written.push_back(slot);
        });
        queue.MarkWritten();
    }

    std::uint64_t KeyAt(std::int32_t slot) const { return ZintarUtil::SortKeyOf(slots.at(static_cast<std::size_t>(slot)).message); }
    std::uint64_t SequenceAt(std::int32_t slot) const { return slots.at(static_cast<std::size_t>(slot)).sequence; }

    FileHeader header{};
    std::vector<MessageRecord> slots;
    std::vector<std::int32_t> written;
};

std::vector<std::uint64_t> Keys(const WriteQueue& queue)
{
    std::vector<std::uint64_t> keys;
    for (const PendingEntry& entry : queue.Entries())
        keys.push_back(entry.sortKey);
    return keys;
}

void Add(WriteQueue& queue, std::uint64_t key, std::uint32_t maxMessage)
{
    queue.Insert(MessageWithKey(key));
    queue.Trim(maxMessage);
}

}  // namespace

TEST(WriteQueue, InOrderMessagesAreQueuedNewestFirstAndWrittenOldestFirst)
{
    WriteQueue queue;
    Ring ring(100);
    for (std::uint64_t key : {10, 20, 30})
        Add(queue, key, 100);
    EXPECT_EQ(Keys(queue), (std::vector<std::uint64_t>{30, 20, 10}));
    EXPECT_EQ(queue.PendingCount(), 3);
    EXPECT_EQ(queue.DisplacedCount(), 0);

    ring.Flush(queue);
    EXPECT_EQ(ring.written, (std::vector<std::int32_t>{0, 1, 2}));
    EXPECT_EQ(ring.KeyAt(0), 10u);
    EXPECT_EQ(ring.KeyAt(2), 30u);
    EXPECT_EQ(ring.SequenceAt(0), 0u);
    EXPECT_EQ(ring.SequenceAt(2), 2u);
    EXPECT_EQ(ring.header.messageCount, 3);
    EXPECT_EQ(ring.header.nextSlot, 3);
    EXPECT_EQ(ring.header.nextSequence, 3u);
    EXPECT_EQ(ring.header.generation, 2u);
    EXPECT_EQ(queue.PendingCount(), 0);
}

TEST(WriteQueue, LateMessageDisplacesNewerWrittenRecords)
{
    WriteQueue queue;
    Ring ring(100);
    for (std::uint64_t key : {10, 20, 30})
        Add(queue, key, 100);
    ring.Flush(queue);

    Add(queue, 15, 100);
    EXPECT_EQ(queue.DisplacedCount(), 2);
    EXPECT_EQ(queue.PendingCount(), 3);
    ring.Flush(queue);
    EXPECT_EQ(ring.header.generation, 3u);
    EXPECT_EQ(ring.written, (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(ring.KeyAt(1), 15u);
    EXPECT_EQ(ring.KeyAt(2), 20u);
    EXPECT_EQ(ring.KeyAt(3), 30u);
    EXPECT_EQ(ring.SequenceAt(1), 3u);
    EXPECT_EQ(ring.SequenceAt(3), 5u);
    EXPECT_EQ(ring.header.messageCount, 4);
    EXPECT_EQ(ring.header.nextSlot, 4);
}

TEST(WriteQueue, EqualKeysKeepArrivalOrderInTheRing)
{
    WriteQueue queue;
    Ring ring(10);
    ZintarUtil::LogMessage first = MessageWithKey(50, "first");
    ZintarUtil::LogMessage second = MessageWithKey(50, "second");
    queue.Insert(first);
    queue.Insert(second);
    EXPECT_STREQ(queue.Entries().front().record.message.text, "second");
    ring.Flush(queue);
    EXPECT_STREQ(ring.slots[0].message.text, "first");
    EXPECT_STREQ(ring.slots[1].message.text, "second");
}

TEST(WriteQueue, MessageOlderThanAFullQueueForcesAFullRewrite)
{
    WriteQueue queue;
    Ring ring(2);
    Add(queue, 20, 2);
    Add(queue, 30, 2);
    ring.Flush(queue);
    const std::uint64_t generation = ring.header.generation;

    Add(queue, 5, 2);  // inserted and removed again at once
    EXPECT_EQ(Keys(queue), (std::vector<std::uint64_t>{30, 20}));
    EXPECT_EQ(queue.PendingCount(), 2);
    ring.Flush(queue);
    EXPECT_EQ(ring.KeyAt(0), 20u);
    EXPECT_EQ(ring.KeyAt(1), 30u);
    EXPECT_EQ(ring.header.nextSlot, 0);
    EXPECT_EQ(ring.header.messageCount, 2);
    EXPECT_EQ(ring.header.generation, generation + 1);
}

TEST(WriteQueue, FullRewriteLeavesSequencesAndNextSequenceAlone)
{
    WriteQueue queue;
    Ring ring(3);
    for (std::uint64_t key : {10, 20, 30}) {
        Add(queue, key, 3);
        ring.Flush(queue);  // one at a time: the incremental path numbers them
    }
    const std::uint64_t nextSequence = ring.header.nextSequence;
    for (std::uint64_t key : {1, 2, 3})  // each older than everything: every entry pending
        Add(queue, key, 3);
    ring.Flush(queue);
    EXPECT_EQ(ring.header.nextSequence, nextSequence);
    EXPECT_EQ(ring.KeyAt(0), 10u);  // the oldest in slot 0, the newest in the last slot
    EXPECT_EQ(ring.KeyAt(2), 30u);
    EXPECT_EQ(ring.SequenceAt(0), 0u);
    EXPECT_EQ(ring.SequenceAt(2), 2u);
}

TEST(WriteQueue, RingWrapsOnceFull)
{
    WriteQueue queue;
    Ring ring(3);
    for (std::uint64_t key = 1; key <= 5; ++key) {
        Add(queue, key * 10, 3);
        ring.Flush(queue);
    }
    EXPECT_EQ(ring.header.messageCount, 3);
    EXPECT_EQ(ring.header.nextSlot, 2);
    EXPECT_EQ(ring.KeyAt(1), 50u);
    EXPECT_EQ(ring.KeyAt(0), 40u);
    EXPECT_EQ(ring.KeyAt(2), 30u);
    EXPECT_EQ(ring.header.nextSequence, 5u);
}

TEST(WriteQueue, NothingPendingWritesNothing)
{
    WriteQueue queue;
    Ring ring(4);
    ring.Flush(queue);
    EXPECT_TRUE(ring.written.empty());
    EXPECT_EQ(ring.header.messageCount, 0);
}

TEST(WriteQueue, FailedFlushIsRepeatedWithTheSameSlotsAndSequences)
{
    WriteQueue queue;
    Ring ring(10);
    for (std::uint64_t key : {10, 20, 30})
        Add(queue, key, 10);
    const FileHeader before = ring.header;
    FileHeader attempt = before;
    std::vector<std::pair<std::int32_t, std::uint64_t>> firstTry;
    EXPECT_THROW(queue.WritePending(attempt,
                                    [&](std::int32_t slot, const MessageRecord& record) {
                                        firstTry.emplace_back(slot, record.sequence);
                                        if (firstTry.size() == 2)
                                            throw std::runtime_error("view lost");
                                    }),
                 std::runtime_error);
    EXPECT_EQ(queue.PendingCount(), 3);  // nothing marked written
    ring.header = before;                // the file kept its old header
    ring.Flush(queue);
    EXPECT_EQ(ring.written, (std::vector<std::int32_t>{0, 1, 2}));
    EXPECT_EQ(firstTry[0], (std::pair<std::int32_t, std::uint64_t>{0, 0}));
    EXPECT_EQ(firstTry[1], (std::pair<std::int32_t, std::uint64_t>{1, 1}));
    EXPECT_EQ(ring.SequenceAt(1), 1u);
}

TEST(WriteQueue, ShrinkingLimitDropsTheOldest)
{
    WriteQueue queue;
    for (std::uint64_t key = 1; key <= 10; ++key)
        Add(queue, key, 100);
    queue.Trim(4);
    EXPECT_EQ(Keys(queue), (std::vector<std::uint64_t>{10, 9, 8, 7}));
    EXPECT_EQ(queue.PendingCount(), 4);
}

TEST(WriteQueue, RandomArrivalsEndSortedAndMirroredByTheRing)
{
    // Whatever the order of arrival, flushing after every few messages leaves a ring that reads
    // newest first exactly as the queue does.
    WriteQueue queue;
    Ring ring(50);
    std::uint64_t state = 12345;
    for (int i = 0; i < 400; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        Add(queue, (state >> 33) % 1000, 50);
        if (i % 7 == 0)
            ring.Flush(queue);
    }
    ring.Flush(queue);
    std::vector<std::uint64_t> fromRing;
    for (std::int32_t i = 0; i < ring.header.messageCount; ++i)
        fromRing.push_back(ring.KeyAt(ZintarUtil::NewestFirstSlot(ring.header.nextSlot, ring.header.capacity, i)));
    EXPECT_EQ(fromRing, Keys(queue));
    EXPECT_TRUE(std::is_sorted(fromRing.rbegin(), fromRing.rend()));
}
