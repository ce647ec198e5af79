#include "util/LogFollower.h"

#include <algorithm>
#include <cstring>

namespace ZintarUtil {

FollowUpdate LogFollower::Poll(const FileHeader& header, const NewestRecord& newest)
{
    FollowUpdate update;
    update.header = header;
    const std::int32_t stored = std::max(header.messageCount, 0);
    if (!generation || *generation != header.generation || header.nextSequence < nextSequence ||
        !StillTheLogSeen(header, newest)) {
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
    lastSeen.reset();
    if (stored > 0)
        lastSeen = update.messages.empty() ? newest(0) : update.messages.back();
    return update;
}

bool LogFollower::StillTheLogSeen(const FileHeader& header, const NewestRecord& newest) const
{
    const std::uint64_t written = header.nextSequence - nextSequence;
    if (!lastSeen || written >= static_cast<std::uint64_t>(std::max(header.messageCount, 0)))
        return true;  // nothing seen, or overwritten since: the missed count says so
    const MessageRecord there = newest(static_cast<std::int32_t>(written));
    return there.sequence == lastSeen->sequence &&
           std::memcmp(&there.message, &lastSeen->message, sizeof there.message) == 0;
}

}  // namespace ZintarUtil
