// Where a reader stands in the log, for the forwarder and for `follow` alike: resumed after its
// message, or told what is missing; each message once across rewrites, restarts and new files.
#include "util/LogCursor.h"

#include <gtest/gtest.h>

#include "tests/support/LogImageBuilder.h"

using namespace ZintarUtil;

namespace {

// A ring written as listed, oldest first: each entry a sequence and a text.
struct RingContent {
    std::vector<std::pair<std::uint64_t, std::string>> records;
    std::uint64_t nextSequence;
    std::uint64_t generation = 2;
};

MessageRecord Record(std::uint64_t sequence, const std::string& text)
{
    MessageRecord record{};
    record.sequence = sequence;
    record.message = ZintarTest::MessageWithKey(0, text);  // the bytes do not depend on the sequence
    return record;
}

ResumePoint PointOf(std::uint64_t sequence, const std::string& text, std::uint64_t generation = 1)
{
    return {generation, sequence, DigestOf(Record(sequence, text).message)};
}

// What Take hands out, as "text,text,..." after what it says of the point: "lost N:", "uncounted:"
// (lost, nobody knows how many), "ahead:" (not believed). The reader has what it took.
std::string Taken(LogCursor& cursor, const RingContent& ring, std::size_t limit = 100)
{
    FileHeader header{};
    header.messageCount = static_cast<std::int32_t>(ring.records.size());
    header.nextSequence = ring.nextSequence;
    header.generation = ring.generation;
    const auto newest = [&](std::int32_t i) {
        const auto& [sequence, text] = ring.records[ring.records.size() - 1 - static_cast<std::size_t>(i)];
        return Record(sequence, text);
    };
    const CursorBatch batch = cursor.Take(header, newest, limit);
    std::string taken = batch.lost ? "lost " + std::to_string(batch.lost) + ":" : "";
    taken += std::string(batch.uncounted ? "uncounted:" : "") + (batch.positionAhead ? "ahead:" : "");
    for (const MessageRecord& record : batch.records) {
        taken += std::string(record.message.text) + ",";
        cursor.Had(DigestOf(record.message));
    }
    return taken;
}

RingContent Numbered(std::uint64_t first, std::uint64_t end, const std::string& prefix = "m")
{
    RingContent ring{{}, end};
    for (std::uint64_t s = first; s < end; ++s)
        ring.records.push_back({s, prefix + std::to_string(s)});
    return ring;
}

}  // namespace

// Each row: a starting point, then the ring at each look and what that look takes ("|" between).
TEST(LogCursor, ResumesAfterItsMessageOrSaysWhatIsMissing)
{
    const RingContent twoOfThree{{{1, "a"}, {2, "b"}}, 3};
    const RingContent full{{{1, "a"}, {2, "b"}, {3, "c"}}, 4};
    const RingContent restarted{{{1, "a"}, {2, "b"}, {3, "c"}}, 4, 3};
    const RingContent lateRewrite{{{1, "late"}, {2, "a"}, {3, "b"}}, 4, 4};  // c fell out of the ring of three
    const RingContent sameAfterRestart{{{1, "late"}, {2, "a"}, {3, "b"}}, 4, 5};
    const RingContent twoCopies{{{1, "a"}, {2, "a"}}, 3, 6};
    const struct {
        const char* name;
        std::vector<RingContent> looks;
        std::optional<ResumePoint> from;
        std::string expected;
    } rows[] = {
        {"no resume point: the oldest first", {Numbered(0, 3)}, std::nullopt, "m0,m1,m2,"},
        {"the message is there", {Numbered(0, 5)}, PointOf(2, "m2"), "m3,m4,"},
        {"the newest was the last one sent", {Numbered(0, 5)}, PointOf(4, "m4"), ""},
        {"overwritten while away", {Numbered(6, 10)}, PointOf(2, "m2"), "lost 3:m6,m7,m8,m9,"},
        {"only the message itself overwritten", {Numbered(3, 7)}, PointOf(2, "m2"), "m3,m4,m5,m6,"},
        {"a new log file numbered from 0", {Numbered(0, 3, "n")}, PointOf(7, "m7"), "ahead:n0,n1,n2,"},
        {"a sequence the log has not numbered yet", {Numbered(0, 3)}, PointOf(3, "m2"), "ahead:m0,m1,m2,"},
        {"a generation the log never had, on its newest message",
         {Numbered(0, 3)},
         PointOf(2, "m2", 3),
         "ahead:m0,m1,m2,"},
        {"a new log file already past the point", {Numbered(0, 5, "n")}, PointOf(1, "m1"), "n0,n1,n2,n3,n4,"},
        {"a rewrite renumbered it", {{{{1, "a"}, {3, "late"}, {4, "b"}, {5, "c"}}, 6}}, PointOf(2, "c"), "late,b,"},
        {"a burst larger than the ring, unnumbered",
         {{{{0, "x"}, {0, "y"}}, 200}},
         PointOf(199, "m"),
         "uncounted:x,y,"},
        {"a burst after it, a late message in it",
         {{{{0, "late"}, {199, "m"}, {0, "n"}}, 200}},
         PointOf(199, "m"),
         "late,n,"},
        {"a repair dropped it", {{{{1, "a"}, {2, "b"}, {4, "d"}, {5, "e"}}, 6}}, PointOf(3, "c"), "d,e,"},
        {"an empty ring", {{{}, 9}}, PointOf(2, "m2"), ""},
        // follow: each message once, across restarts of the service and rewrites of the ring.
        {"followed across restarts and rewrites",
         {twoOfThree, full, restarted, lateRewrite, sameAfterRestart, twoCopies},
         std::nullopt,
         "a,b,|c,||late,||ahead:a,"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LogCursor cursor(row.from);
        std::string taken;
        for (const RingContent& ring : row.looks)
            taken += (&ring == &row.looks.front() ? "" : "|") + Taken(cursor, ring);
        EXPECT_EQ(taken, row.expected);
    }
    LogCursor fromOldest;
    EXPECT_EQ(Taken(fromOldest, Numbered(0, 5), 2), "m0,m1,") << "at most the limit";
    EXPECT_EQ(Taken(fromOldest, Numbered(0, 5), 2), "m2,m3,") << "and on from there";
    const RingContent renumbered{{{1, "a"}, {3, "late"}, {4, "b"}, {5, "c"}}, 6};
    LogCursor afterC(PointOf(2, "c"));
    afterC.Had(PointOf(0, "b").digest);
    EXPECT_EQ(Taken(afterC, renumbered), "late,") << "b was delivered under its old sequence";
    EXPECT_EQ(Taken(afterC, renumbered), "") << "and what it had after late is not taken again";
}
