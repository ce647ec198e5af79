// Following a log file as it is written: each poll hands out the messages written since the last
// one, exactly once, oldest first. Within one generation the writer numbers the records it adds
// consecutively (nextSequence in the header, sequence in each record); a new generation means it
// rewrote records already stored (or reopened the file), and the follower then starts over with
// the whole ring instead of missing or repeating messages.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "LogFileFormat.h"

namespace ZintarUtil {

struct FollowUpdate {
    FileHeader header{};           // the header the poll read
    bool restarted = false;        // a new generation: `messages` is the whole ring
    std::uint64_t missed = 0;      // messages overwritten in the ring before this poll saw them
    std::vector<MessageRecord> messages;  // oldest first
};

class LogFollower {
public:
    // `newest(i)` copies the i-th newest record of the ring that `header` describes; the caller
    // holds read access for the whole poll.
    using NewestRecord = std::function<MessageRecord(std::int32_t i)>;

    FollowUpdate Poll(const FileHeader& header, const NewestRecord& newest);

    std::optional<std::uint64_t> Generation() const { return generation; }
    std::uint64_t NextSequence() const { return nextSequence; }

private:
    std::optional<std::uint64_t> generation;
    std::uint64_t nextSequence = 0;
};

}  // namespace ZintarUtil
