// Where the forwarder stands in the log: the last message it has handed out, and the messages
// after it, read in place from the ring under the reader's read access.
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
// Away from the quick path, what the caller says was delivered already is left out: a late message
// moves every newer one, and without that each would send the ring's newer part again. A message
// the ring holds is never skipped; a burst larger than the ring, written unnumbered, can only be
// counted as lost where numbers remain.
//
// Portable; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "util/ForwardState.h"
#include "util/LogFileFormat.h"

namespace ZintarForward {

using ZintarUtil::ForwardState;
using ZintarUtil::ResumePoint;

struct RingBatch {
    std::uint64_t generation = 0;
    std::uint64_t lost = 0;  // messages overwritten before they could be taken, just before `records`
    bool uncounted = false;  // overwritten by a burst that left no numbers to count them by
    // The position lies ahead of anything the log holds (a sequence it has not numbered yet, a
    // generation it has not reached): a new log file, or a resume point that is not this log's.
    // It is not believed: everything the ring holds follows, and nothing counts as lost.
    bool positionAhead = false;
    std::vector<ZintarUtil::MessageRecord> records;  // oldest first
    std::uint64_t behind = 0;                        // messages in the ring after the last one taken
};

class RingCursor {
public:
    // `i` from 0 (the newest) to messageCount − 1 (the oldest) of the ring `header` describes.
    using NewestRecord = std::function<ZintarUtil::MessageRecord(std::int32_t i)>;

    // Starts after `point`, or with the oldest message the ring holds when there is none.
    explicit RingCursor(std::optional<ResumePoint> point = std::nullopt) : position(point) {}

    // Whether a message with this digest reached the collector already.
    using Delivered = std::function<bool(std::uint64_t digest)>;

    // The messages after the position, at most `limit` of them, and moves the position past them.
    // The caller holds read access for the whole call.
    RingBatch Take(const ZintarUtil::FileHeader& header, const NewestRecord& newest, std::size_t limit,
                   const Delivered& delivered = nullptr);

    // How many messages the ring holds after the position (a lost count not included).
    std::uint64_t Behind(const ZintarUtil::FileHeader& header, const NewestRecord& newest) const;

    // Goes back to `point` (the last message the collector acknowledged): what was taken after it
    // is taken again.
    void Rewind(std::optional<ResumePoint> point)
    {
        position = point;
        seenAt.reset();
    }

    const std::optional<ResumePoint>& Position() const { return position; }

private:
    // The ring's records to take, newest-first indexes from the oldest to the newest.
    std::vector<std::int32_t> FindFollowing(const ZintarUtil::FileHeader& header, const NewestRecord& newest,
                                            const Delivered& delivered, RingBatch& batch) const;

    // The O(1) ways to the position; none when it is not there.
    std::optional<std::int32_t> FindQuickly(const ZintarUtil::FileHeader& header, const NewestRecord& newest) const;

    std::optional<ResumePoint> position;
    struct Slot {
        std::int32_t slot;
        std::int32_t capacity;
    };
    std::optional<Slot> seenAt;  // where the position's record stood when it was taken
};

}  // namespace ZintarForward
