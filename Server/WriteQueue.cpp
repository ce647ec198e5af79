#include "Server/WriteQueue.h"

#include <algorithm>
#include <cstring>

namespace ZintarServer {

using ZintarUtil::FileHeader;
using ZintarUtil::MessageRecord;

namespace {

// Records kept for unwritten messages are reused; after a burst larger than this the memory goes
// back once everything is written.
constexpr std::size_t kRetainedUnwritten = 1024;

}  // namespace

void WriteQueue::Insert(const ZintarUtil::LogMessage& message)
{
    const std::uint64_t key = ZintarUtil::SortKeyOf(message);
    std::int32_t k = 0;
    auto position = entries.begin();
    while (position != entries.end() && position->sortKey > key) {
        ++position;
        ++k;
    }
    const std::int32_t index = NewUnwritten();
    MessageRecord& record = unwritten[static_cast<std::size_t>(index)];
    record.sequence = 0;
    std::memcpy(&record.message, &message, sizeof message);
    std::memset(record.filler, 0, sizeof record.filler);
    entries.insert(position, QueueEntry{key, 0, -1 - index});

    if (k > pendingCount) {
        displacedCount += k - pendingCount;
        pendingCount = k;
    }
    pendingCount += 1;
}

void WriteQueue::Trim(std::uint32_t limit)
{
    while (entries.size() > limit) {
        if (!entries.back().IsWritten())
            ReleaseUnwritten(entries.back());
        entries.pop_back();
    }
    if (static_cast<std::size_t>(pendingCount) > entries.size())
        pendingCount = static_cast<std::int32_t>(entries.size());
}

void WriteQueue::WritePending(FileHeader& header, RingSlots& ring)
{
    const std::int32_t capacity = header.capacity;
    if (pendingCount < capacity) {
        if (displacedCount > 0)
            header.generation += 1;
        // Back over the displaced records, which are written again in their new order. A count
        // that the invariants exclude (more displaced than stored) stops at an empty ring.
        header.messageCount = std::max(header.messageCount - displacedCount, 0);
        const std::int64_t slot = (static_cast<std::int64_t>(header.nextSlot) - displacedCount) % capacity;
        header.nextSlot = static_cast<std::int32_t>(slot < 0 ? slot + capacity : slot);
        WriteOldestFirst(pendingCount, header.nextSlot, capacity, true, header.nextSequence, ring);
        header.messageCount = std::min(header.messageCount + pendingCount, capacity);
        header.nextSlot = static_cast<std::int32_t>((std::int64_t{header.nextSlot} + pendingCount) % capacity);
        header.nextSequence += static_cast<std::uint64_t>(pendingCount);
    } else {
        RewriteFromSlotZero(capacity, capacity, ring);
        header.messageCount = capacity;
        header.nextSlot = 0;
        header.generation += 1;
    }
}

void WriteQueue::RewriteFromSlotZero(std::int32_t count, std::int32_t capacity, RingSlots& ring)
{
    const auto written =
        static_cast<std::int32_t>(std::min<std::int64_t>({count, capacity, static_cast<std::int64_t>(entries.size())}));
    WriteOldestFirst(written, 0, capacity, false, 0, ring);
}

// Move i writes entry count − 1 − i into slot firstSlot + i. A slot is written only once no move
// still has to read the record in it, so the moves run in chains: from a slot whose record nobody
// needs, to the slot its new record came from, which is free now, and so on. What is left are
// cycles (a ring turned as a whole); one record of each is taken aside into the queue's memory,
// which frees its slot and starts a chain. Records from outside the written slots are read only.
void WriteQueue::WriteOldestFirst(std::int32_t count, std::int32_t firstSlot, std::int32_t capacity, bool renumber,
                                  std::uint64_t firstSequence, RingSlots& ring)
{
    auto entryOf = [&](std::int32_t move) -> QueueEntry& {
        return entries[static_cast<std::size_t>(count - 1 - move)];
    };
    auto slotOf = [&](std::int32_t move) {
        return static_cast<std::int32_t>((std::int64_t{firstSlot} + move) % capacity);
    };
    auto moveWriting = [&](std::int32_t slot) {  // the move that writes `slot`, or −1
        const std::int64_t offset = ((std::int64_t{slot} - firstSlot) % capacity + capacity) % capacity;
        return offset < count ? static_cast<std::int32_t>(offset) : -1;
    };

    std::vector<bool> done(static_cast<std::size_t>(count), false);
    std::vector<std::int32_t> readBy(static_cast<std::size_t>(count), -1);  // [m]: who still reads m's slot
    for (std::int32_t move = 0; move < count; ++move) {
        const QueueEntry& entry = entryOf(move);
        const std::int32_t source = entry.IsWritten() ? moveWriting(entry.location) : -1;
        if (source == move && !renumber)
            done[move] = true;  // already in its slot
        else if (source >= 0)
            readBy[source] = move;
    }

    MessageRecord buffer;
    // Writes one record and returns the move whose slot it freed, or −1.
    auto perform = [&](std::int32_t move) {
        QueueEntry& entry = entryOf(move);
        MessageRecord* record = &buffer;
        if (entry.IsWritten())
            ring.Read(entry.location, buffer);
        else
            record = &unwritten[static_cast<std::size_t>(-1 - entry.location)];
        if (renumber)
            record->sequence = firstSequence + static_cast<std::uint64_t>(move);
        const std::int32_t slot = slotOf(move);
        ring.Write(slot, *record);
        const std::int32_t freed = entry.IsWritten() ? moveWriting(entry.location) : -1;
        if (!entry.IsWritten())
            ReleaseUnwritten(entry);
        entry.location = slot;
        entry.sequence = record->sequence;
        done[static_cast<std::size_t>(move)] = true;
        if (freed >= 0)
            readBy[static_cast<std::size_t>(freed)] = -1;
        return freed;
    };
    auto runChain = [&](std::int32_t move) {
        while (move >= 0 && !done[static_cast<std::size_t>(move)] && readBy[static_cast<std::size_t>(move)] < 0)
            move = perform(move);
    };

    for (std::int32_t move = 0; move < count; ++move)
        runChain(move);
    for (std::int32_t move = 0; move < count; ++move) {
        if (done[static_cast<std::size_t>(move)])
            continue;
        QueueEntry& aside = entryOf(readBy[static_cast<std::size_t>(move)]);
        const std::int32_t index = NewUnwritten();
        try {
            ring.Read(aside.location, unwritten[static_cast<std::size_t>(index)]);
        } catch (...) {
            freeUnwritten.push_back(index);
            throw;
        }
        aside.location = -1 - index;
        readBy[static_cast<std::size_t>(move)] = -1;
        runChain(move);
    }
}

void WriteQueue::MarkWritten()
{
    pendingCount = displacedCount = 0;
    // Every record kept here has reached the ring now.
    if (freeUnwritten.size() == unwritten.size()) {
        unwritten.clear();
        freeUnwritten.clear();
        if (unwritten.capacity() > kRetainedUnwritten) {
            unwritten.shrink_to_fit();
            freeUnwritten.shrink_to_fit();
        }
    }
}

void WriteQueue::LoadFromRing(const FileHeader& header, const unsigned char* slots, std::int32_t count)
{
    Clear();
    // Oldest first, each put in front, so that the walk ascends through memory.
    ZintarUtil::ForEachOldestFirst(header, slots, count, [&](const MessageRecord& record) {
        const auto slot = static_cast<std::int32_t>((reinterpret_cast<const unsigned char*>(&record) - slots) /
                                                    static_cast<std::ptrdiff_t>(ZintarUtil::kRecordSize));
        entries.push_front({ZintarUtil::SortKeyOf(record.message), record.sequence, slot});
        return true;
    });
}

void WriteQueue::Clear()
{
    entries.clear();
    unwritten.clear();
    freeUnwritten.clear();
    pendingCount = displacedCount = 0;
}

void WriteQueue::AppendOlder(std::uint64_t sortKey, std::uint64_t sequence, std::int32_t slot)
{
    entries.push_back({sortKey, sequence, slot});
}

const MessageRecord& WriteQueue::UnwrittenRecord(const QueueEntry& entry) const
{
    return unwritten[static_cast<std::size_t>(-1 - entry.location)];
}

std::int32_t WriteQueue::NewUnwritten()
{
    if (freeUnwritten.empty()) {
        unwritten.emplace_back();
        return static_cast<std::int32_t>(unwritten.size() - 1);
    }
    const std::int32_t index = freeUnwritten.back();
    freeUnwritten.pop_back();
    return index;
}

void WriteQueue::ReleaseUnwritten(const QueueEntry& entry)
{
    freeUnwritten.push_back(-1 - entry.location);
}

}  // namespace ZintarServer
