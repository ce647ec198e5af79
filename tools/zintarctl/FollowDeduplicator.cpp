#include "tools/zintarctl/FollowDeduplicator.h"

namespace ZintarCtl {

using ZintarUtil::DigestOf;
using ZintarUtil::MessageRecord;

std::vector<MessageRecord> FollowDeduplicator::Fresh(const ZintarUtil::FollowUpdate& update, std::int32_t capacity)
{
    std::vector<MessageRecord> fresh;
    if (!update.restarted) {
        for (const MessageRecord& record : update.messages) {
            fresh.push_back(record);
            Remember(DigestOf(record.message), capacity);
        }
        return fresh;
    }
    // The whole ring: what was remembered is consumed once per copy, and the ring's content is
    // what is remembered from now on.
    std::unordered_map<std::uint64_t, std::uint32_t> known;
    known.swap(counts);
    order.clear();
    for (const MessageRecord& record : update.messages) {
        const std::uint64_t digest = DigestOf(record.message);
        auto found = known.find(digest);
        if (found != known.end() && found->second > 0)
            --found->second;
        else
            fresh.push_back(record);
        Remember(digest, capacity);
    }
    return fresh;
}

void FollowDeduplicator::Remember(std::uint64_t digest, std::int32_t capacity)
{
    order.push_back(digest);
    ++counts[digest];
    while (order.size() > static_cast<std::size_t>(capacity > 0 ? capacity : 1)) {
        auto found = counts.find(order.front());
        if (--found->second == 0)
            counts.erase(found);
        order.pop_front();
    }
}

}  // namespace ZintarCtl
