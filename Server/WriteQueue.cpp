#include "WriteQueue.h"

#include <cstring>

namespace ZintarServer {

void WriteQueue::Insert(const ZintarUtil::LogMessage& message)
{
    const std::uint64_t key = ZintarUtil::SortKeyOf(message);
    std::int32_t k = 0;
    auto position = pendingList.begin();
    while (position != pendingList.end() && position->sortKey > key) {
        ++position;
        ++k;
    }
    if (k > pendingCount) {
        displacedCount += k - pendingCount;
        pendingCount = k;
    }
    pendingCount += 1;

    if (spareNodes.empty())
        spareNodes.emplace_back();
    pendingList.splice(position, spareNodes, spareNodes.begin());
    PendingEntry& entry = *std::prev(position);
    entry.record.sequence = 0;
    std::memcpy(&entry.record.message, &message, sizeof message);
    entry.sortKey = key;
}

void WriteQueue::Trim(std::uint32_t maxMessage)
{
    // A few removed nodes are kept for the insertions to come; a large trim frees the rest.
    constexpr std::size_t kSpareNodes = 16;
    while (pendingList.size() > maxMessage) {
        if (spareNodes.size() < kSpareNodes)
            spareNodes.splice(spareNodes.begin(), pendingList, std::prev(pendingList.end()));
        else
            pendingList.pop_back();
    }
    if (static_cast<std::size_t>(pendingCount) > pendingList.size())
        pendingCount = static_cast<std::int32_t>(pendingList.size());
}

}  // namespace ZintarServer
