// Following a log file as it is written: each poll hands out the messages written since the last
// one, exactly once, oldest first. Within one generation the writer numbers the records it adds
// consecutively (nextSequence in the header, sequence in each record); a new generation means it
// rewrote records already stored (or reopened the file), and the follower then starts over with
// the whole ring instead of missing or repeating messages. A new file starts at generation 2 and
// sequence 0 again, like the one it replaced: the follower recognises it because the record it saw
// last is not where that file would hold it, and starts over too.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "util/LogFileFormat.h"

namespace ZintarUtil {

struct FollowUpdate {
    FileHeader header{};                  // the header the poll read
    bool restarted = false;               // a new generation: `messages` is the whole ring
    std::uint64_t missed = 0;             // messages overwritten in the ring before this poll saw them
    std::vector<MessageRecord> messages;  // oldest first
};

class LogFollower {
public:
    // The caller holds read access for the whole poll.
    FollowUpdate Poll(const FileHeader& header, const NewestRecord& newest);

    std::optional<std::uint64_t> Generation() const { return generation; }
    std::uint64_t NextSequence() const { return nextSequence; }

private:
    // Whether the ring still holds, just behind the records written since the last poll, the
    // record this follower saw last: false for another file of the same generation.
    bool StillTheLogSeen(const FileHeader& header, const NewestRecord& newest) const;

    std::optional<std::uint64_t> generation;
    std::uint64_t nextSequence = 0;
    std::optional<MessageRecord> lastSeen;  // the newest record at the last poll
};

}  // namespace ZintarUtil
