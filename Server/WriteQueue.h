// The write queue: the newest messages in time order, newest first, of which the first
// `pendingCount` still have to be written into the ring (`displacedCount` of those were written
// already but now stand in the wrong place, because an older message arrived late).
//
// A message newer than everything queued costs one comparison; the queue is a linked list so that
// an insertion in the middle and the removal of the oldest entry move nothing else, and removed
// nodes are kept for the next insertion, so a full queue allocates nothing.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <list>

#include "LogFileFormat.h"

namespace ZintarServer {

struct PendingEntry {
    PendingEntry() = default;
    // Built in place in its list node: the record is copied once, straight from the file.
    PendingEntry(const ZintarUtil::MessageRecord& record, std::uint64_t sortKey) : record(record), sortKey(sortKey) {}

    ZintarUtil::MessageRecord record;
    std::uint64_t sortKey;
};

class WriteQueue {
public:
    // Inserts the message behind every entry with a larger key (so among equal keys the newest
    // arrival stands first) and counts the entries in front of it as pending.
    void Insert(const ZintarUtil::LogMessage& message);

    // Removes the oldest entries beyond `maxMessage` and keeps pendingCount within the length.
    void Trim(std::uint32_t maxMessage);

    // Writes the pending entries into the ring described by `header` (a local copy that is
    // updated): incrementally at nextSlot, or, when at least a ring's worth is pending, the whole
    // ring from slot 0. `writeSlot(slot, record)` stores one record. Requires capacity ≥ 1. The
    // counts stay as they are until MarkWritten, so a write that fails can be repeated.
    template <class SlotWriter>
    void WritePending(ZintarUtil::FileHeader& header, SlotWriter&& writeSlot);

    // The pending entries are in the file now.
    void MarkWritten() { pendingCount = displacedCount = 0; }

    // The entries, newest first. Whoever fills it from the file calls MarkWritten afterwards:
    // everything in it is then stored.
    std::list<PendingEntry>& Entries() { return pendingList; }
    const std::list<PendingEntry>& Entries() const { return pendingList; }

    std::int32_t PendingCount() const { return pendingCount; }
    std::int32_t DisplacedCount() const { return displacedCount; }

private:
    std::list<PendingEntry> pendingList;
    std::list<PendingEntry> spareNodes;
    std::int32_t pendingCount = 0;
    std::int32_t displacedCount = 0;
};

template <class SlotWriter>
void WriteQueue::WritePending(ZintarUtil::FileHeader& header, SlotWriter&& writeSlot)
{
    const std::int32_t capacity = header.capacity;
    if (pendingCount < capacity) {
        if (displacedCount > 0)
            header.generation += 1;
        // Back over the displaced records, which are written again in their new order. A count
        // that the invariants exclude (more displaced than stored) stops at an empty ring.
        header.messageCount = std::max(header.messageCount - displacedCount, 0);
        std::int64_t slot = (static_cast<std::int64_t>(header.nextSlot) - displacedCount) % capacity;
        header.nextSlot = static_cast<std::int32_t>(slot < 0 ? slot + capacity : slot);
        auto entry = std::next(pendingList.begin(), pendingCount);
        for (std::int32_t i = 0; i < pendingCount; ++i) {
            --entry;
            header.messageCount = std::min(header.messageCount + 1, capacity);
            entry->record.sequence = header.nextSequence++;
            writeSlot(header.nextSlot, entry->record);
            header.nextSlot = (header.nextSlot + 1) % capacity;
        }
    } else {
        header.messageCount = capacity;
        header.nextSlot = 0;
        header.generation += 1;
        std::int32_t slot = 0;
        for (auto entry = pendingList.rbegin(); entry != pendingList.rend() && slot < capacity; ++entry)
            writeSlot(slot++, entry->record);
    }
}

}  // namespace ZintarServer
