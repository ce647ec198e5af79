#include "util/LogFollower.h"

#include <gtest/gtest.h>

#include "Server/WriteQueue.h"
#include "tests/support/LogImageBuilder.h"
#include "tests/support/QueueModel.h"

using namespace ZintarUtil;
using ZintarServer::WriteQueue;
using ZintarTest::MessageWithKey;

namespace {

// A writer and its ring in memory, with a follower polling it.
class Followed {
public:
    explicit Followed(std::int32_t capacity) : ring(capacity) {}

    void Write(std::initializer_list<std::uint64_t> keys)
    {
        for (std::uint64_t key : keys) {
            queue.Insert(MessageWithKey(key));
            queue.Trim(static_cast<std::uint32_t>(ring.header.capacity));
        }
        ring.Flush(queue);
    }

    // The log file deleted and made anew: generation 2 and sequence 0 again.
    void NewFile()
    {
        ring = ZintarTest::MemoryRing(ring.header.capacity);
        queue = WriteQueue();
    }

    FollowUpdate Poll()
    {
        return follower.Poll(ring.header, [this](std::int32_t i) { return ring.Newest(i); });
    }

    ZintarTest::MemoryRing ring;

private:
    WriteQueue queue;
    LogFollower follower;
};

std::vector<std::uint64_t> Keys(const FollowUpdate& update)
{
    std::vector<std::uint64_t> keys;
    for (const MessageRecord& record : update.messages)
        keys.push_back(ZintarTest::KeyOf(record.message));
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
    log.ring.header.nextSequence -= 2;  // a writer that lost its last records, as after a crash
    const FollowUpdate update = log.Poll();
    EXPECT_TRUE(update.restarted);
    EXPECT_EQ(update.messages.size(), 3u);
}

TEST(LogFollower, ANewFileOfTheSameGenerationIsReadFromItsBeginning)
{
    Followed log(10);
    log.Write({10, 20, 30});
    log.Poll();
    log.NewFile();
    log.Write({1, 2, 3, 4, 5});  // further on in sequence than the old file
    const FollowUpdate update = log.Poll();
    EXPECT_TRUE(update.restarted);
    EXPECT_EQ(Keys(update), (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
    log.Write({6});
    EXPECT_EQ(Keys(log.Poll()), (std::vector<std::uint64_t>{6})) << "and followed on from there";
}
