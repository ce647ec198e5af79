// Where the forwarder stands in the log: the last message it has handed out, and the messages
// after it, read in place from the ring under the reader's read access.
//
// Within one generation the writer numbers the records it appends consecutively, so the next
// messages are found in O(1) from the header. Anything else (a restart of the service, a new
// generation, a new log file, a repaired one, a forwarder that starts from its state file) finds
// the position again by the message's sequence and digest:
//   - the message is still there: everything after it follows;
//   - it was overwritten (every record left is newer): the messages in between are lost, counted
//     once, and the oldest message still there follows;
//   - a rewrite renumbered it (its digest stands under a newer sequence): the records numbered
//     after it follow (a message moved by that rewrite may come again, under its new sequence);
//   - another message stands under its sequence, or the log numbers from below it: a new log
//     file, and all of it follows.
// A message is never skipped without being counted as lost.
//
// Portable; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "ForwardState.h"
#include "LogFileFormat.h"

namespace ZintarForward {

using ZintarUtil::ForwardState;
using ZintarUtil::ResumePoint;

struct RingBatch {
    std::uint64_t generation = 0;
    std::uint64_t lost = 0;  // messages overwritten before they could be taken, just before `records`
    std::vector<ZintarUtil::MessageRecord> records;  // oldest first
    std::uint64_t behind = 0;  // messages in the ring after the last one taken
};

class RingCursor {
public:
    // `i` from 0 (the newest) to messageCount − 1 (the oldest) of the ring `header` describes.
    using NewestRecord = std::function<ZintarUtil::MessageRecord(std::int32_t i)>;

    // Starts after `point`, or with the oldest message the ring holds when there is none.
    explicit RingCursor(std::optional<ResumePoint> point = std::nullopt) : position(point) {}

    // The messages after the position, at most `limit` of them, and moves the position past them.
    // The caller holds read access for the whole call.
    RingBatch Take(const ZintarUtil::FileHeader& header, const NewestRecord& newest, std::size_t limit);

    // How many messages the ring holds after the position (a lost count not included).
    std::uint64_t Behind(const ZintarUtil::FileHeader& header, const NewestRecord& newest) const;

    // Goes back to `point` (the last message the collector acknowledged): what was taken after it
    // is taken again.
    void Rewind(std::optional<ResumePoint> point) { position = point; }

    const std::optional<ResumePoint>& Position() const { return position; }

private:
    // The ring's records to take, newest-first indexes from the oldest to the newest.
    std::vector<std::int32_t> FindFollowing(const ZintarUtil::FileHeader& header, const NewestRecord& newest,
                                            std::uint64_t& lost) const;

    std::optional<ResumePoint> position;
};

}  // namespace ZintarForward
