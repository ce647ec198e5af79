#include <gtest/gtest.h>

#include "LogFollower.h"
#include "LogImageBuilder.h"
#include "WriteQueue.h"

using namespace ZintarUtil;
using ZintarServer::WriteQueue;
using ZintarTest::MessageWithKey;

namespace {

// A writer and its ring in memory, with a follower polling it.
class Followed {
public:
    explicit Followed(std::int32_t capacity) : slots(static_cast<std::size_t>(capacity))
    {
        header.capacity = capacity;
        header.generation = 2;
        limit = static_cast<std::uint32_t>(capacity);
    }

    void Write(std::initializer_list<std::uint64_t> keys)
    {
        for (std::uint64_t key : keys) {
            queue.Insert(MessageWithKey(key));
            queue.Trim(limit);
        }
        queue.WritePending(header, [this](std::int32_t slot, const MessageRecord& record) {
            slots[static_cast<std::size_t>(slot)] = record;
        });
        queue.MarkWritten();
    }

    FollowUpdate Poll()
    {
        return follower.Poll(header, [this](std::int32_t i) {
            return slots[static_cast<std::size_t>(NewestFirstSlot(header.nextSlot, header.capacity, i))];
        });
    }

    FileHeader header{};

private:
    std::vector<MessageRecord> slots;
    WriteQueue queue;
    LogFollower follower;
    std::uint32_t limit;
};

std::vector<std::uint64_t> Keys(const FollowUpdate& update)
{
    std::vector<std::uint64_t> keys;
    for (const MessageRecord& record : update.messages)
        keys.push_back(SortKeyOf(record.message));
    return keys;
}

}  // namespace

TEST(LogFollower, OverwrittenMessagesAreCountedAsMissed)
{
    Followed log(3);
    log.Write({10});
    log.Poll();
    for (std::uint64_t key : {20, 30, 40, 50, 60})
        log.Write({key});
    const FollowUpdate update = log.Poll();
    EXPECT_EQ(update.missed, 2u);
    EXPECT_EQ(Keys(update), (std::vector<std::uint64_t>{40, 50, 60}));
}

TEST(LogFollower, BatchLargerThanTheRingIsAFullRewriteAndARestart)
{
    Followed log(3);
    log.Write({10});
    log.Poll();
    log.Write({20, 30, 40, 50, 60});
    const FollowUpdate update = log.Poll();
    EXPECT_TRUE(update.restarted);
    EXPECT_EQ(Keys(update), (std::vector<std::uint64_t>{40, 50, 60}));
}

TEST(LogFollower, ASequenceThatWentBackWithinAGenerationIsARestart)
{
    Followed log(10);
    log.Write({10, 20, 30});
    log.Poll();
    log.header.nextSequence -= 2;  // a writer that lost its last records, as after a crash
    const FollowUpdate update = log.Poll();
    EXPECT_TRUE(update.restarted);
    EXPECT_EQ(update.messages.size(), 3u);
}
