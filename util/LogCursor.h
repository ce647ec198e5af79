// Where a reader stands in the log: the last message it has taken, and the messages after it,
// read in place from the ring under the reader's read access. The forwarder sends what it takes;
// `zintarctl follow` and the web page show it. Each message is taken once, in order, across
// rewrites of the ring, restarts of the service and new log files.
//
// The position is found again in O(1): where the writer numbered the records it appended
// consecutively, from the header's next sequence; and in any case in the slot where it was seen
// last (a burst larger than the ring is written whole, every record with sequence 0). Anything else (a restart of the service, a new
// generation, a new log file, a repaired one, a forwarder that starts from its state file) finds
// the position again by the message's sequence and digest:
//   - the message is still there: everything after it follows;
//   - a rewrite moved it (its digest stands under another sequence): what stands after it follows,
//     and what the rewrite numbered after it or left unnumbered;
//   - it was overwritten (every numbered record left is newer): the messages in between are lost,
//     counted once by their numbers, and the oldest message still there follows;
//   - another message stands under its sequence: a new log file, and all of it follows;
//   - it lies ahead of the log (a sequence the log has not numbered yet, a generation it has not
//     reached): a new log file or a resume point that is not this log's. Not believed, whatever
//     stands under its sequence: all of it follows. Copies are better than a silent skip.
// Away from the quick path, what the reader says it has (Had) is left out, once per copy it had:
// a late message moves every newer one, and without that each would follow again. The position
// then moves past what was left out, so that the next look does not find it after the position.
// A message the ring holds is never skipped; a burst larger than the ring, written unnumbered,
// can only be counted as lost where numbers remain.
//
// Portable; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <vector>

#include "util/ForwardState.h"
#include "util/LogFileFormat.h"

namespace ZintarUtil {

struct CursorBatch {
    std::uint64_t generation = 0;
    std::uint64_t lost = 0;  // messages overwritten before they could be taken, just before `records`
    bool uncounted = false;  // overwritten by a burst that left no numbers to count them by
    // The position lies ahead of anything the log holds (a sequence it has not numbered yet, a
    // generation it has not reached): a new log file, or a resume point that is not this log's.
    // It is not believed: everything the ring holds follows, and nothing counts as lost.
    bool positionAhead = false;
    std::vector<MessageRecord> records;  // oldest first
    std::uint64_t behind = 0;            // messages in the ring after the last one taken
};

class LogCursor {
public:
    // Starts after `point`, or with the oldest message the ring holds when there is none.
    explicit LogCursor(std::optional<ResumePoint> point = std::nullopt) : position(point) {}

    // The messages after the position, at most `limit` of them, and moves the position past them.
    // The caller holds read access for the whole call.
    CursorBatch Take(const FileHeader& header, const NewestRecord& newest, std::size_t limit);

    // How many messages the ring holds after the position (a lost count not included).
    std::uint64_t Behind(const FileHeader& header, const NewestRecord& newest) const;

    // The reader has the message with this digest (the forwarder: the collector has it; follow:
    // it was shown). The newest 65,536 are remembered, more than the largest ring holds.
    void Had(std::uint64_t digest);

    // Goes back to `point` (the last message the collector acknowledged): what was taken after it
    // is taken again.
    void Rewind(std::optional<ResumePoint> point)
    {
        position = point;
        seenAt.reset();
    }

    const std::optional<ResumePoint>& Position() const { return position; }

private:
    // The ring's records to take, newest-first indexes from the oldest to the newest; with
    // `leaveOutHad`, without what the reader has.
    std::vector<std::int32_t> FindFollowing(const FileHeader& header, const NewestRecord& newest, bool leaveOutHad,
                                            CursorBatch& batch) const;

    // The O(1) ways to the position; none when it is not there.
    std::optional<std::int32_t> FindQuickly(const FileHeader& header, const NewestRecord& newest) const;

    void MoveTo(const FileHeader& header, const MessageRecord& record, std::int32_t i);

    std::optional<ResumePoint> position;
    struct Slot {
        std::int32_t slot;
        std::int32_t capacity;
    };
    std::optional<Slot> seenAt;          // where the position's record stood when it was taken
    std::deque<std::uint64_t> hadOrder;  // oldest first
    std::unordered_map<std::uint64_t, std::uint32_t> hadCopies;
};

}  // namespace ZintarUtil
