// Printing each message once while following the log. Within a generation the follower hands out
// only new messages; after a rewrite of the ring or a restart of the service it hands out the
// whole ring again, most of which was printed already. This remembers what the ring held when
// last seen and lets only the messages that are new pass.
#pragma once

#include <cstdint>
#include <deque>
#include <unordered_map>
#include <vector>

#include "util/LogFollower.h"

namespace ZintarCtl {

class FollowDeduplicator {
public:
    // The messages of `update` not printed yet, oldest first. `capacity` is the ring's size: no
    // more messages than that are remembered.
    std::vector<ZintarUtil::MessageRecord> Fresh(const ZintarUtil::FollowUpdate& update, std::int32_t capacity);

private:
    void Remember(std::uint64_t digest, std::int32_t capacity);

    std::deque<std::uint64_t> order;  // oldest first
    std::unordered_map<std::uint64_t, std::uint32_t> counts;
};

}  // namespace ZintarCtl
