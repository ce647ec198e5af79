#include "LogFollower.h"

#include <algorithm>

namespace ZintarUtil {

FollowUpdate LogFollower::Poll(const FileHeader& header, const NewestRecord& newest)
{
    FollowUpdate update;
    update.header = header;
    const std::int32_t stored = std::max(header.messageCount, 0);
    if (!generation || *generation != header.generation || header.nextSequence < nextSequence) {
        update.restarted = true;
        for (std::int32_t i = 0; i < stored; ++i)
            update.messages.push_back(newest(i));
    } else {
        const std::uint64_t written = header.nextSequence - nextSequence;
        const std::uint64_t available = std::min<std::uint64_t>(written, static_cast<std::uint64_t>(stored));
        update.missed = written - available;
        for (std::int32_t i = 0; static_cast<std::uint64_t>(i) < available; ++i) {
            const MessageRecord record = newest(i);
            if (record.sequence < nextSequence)
                break;  // older than this follower's last poll: nothing more is new
            update.messages.push_back(record);
        }
    }
    std::reverse(update.messages.begin(), update.messages.end());
    generation = header.generation;
    nextSequence = header.nextSequence;
    return update;
}

}  // namespace ZintarUtil
