// The write queue: the newest messages in time order, newest first, of which the first
// `pendingCount` still have to be written into the ring (`displacedCount` of those were written
// already but now stand in the wrong place, because an older message arrived late).
//
// The ring itself holds every written record, so the queue keeps of a written message only its
// key, its sequence and its slot (24 bytes); only a message not yet written keeps its whole
// 560-byte record here. A shifted or full rewrite reads the records it moves back from the ring,
// in an order that never overwrites a slot before its record has been copied on: a writer that
// dies part-way leaves every published record somewhere in the file, for the next start to find.
//
// A message newer than everything queued costs one comparison; a late one moves the entries in
// front of it (a deque shifts the shorter side), and the oldest entry leaves from the back.
//
// Not thread-safe: the service calls it with its intake mutex held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "util/LogFileFormat.h"

namespace ZintarServer {

struct QueueEntry {
    std::uint64_t sortKey;
    std::uint64_t sequence;  // as stored with the record; 0 while it is not written
    std::int32_t location;   // the record's slot (≥ 0), or −1 − n for the queue's unwritten record n

    bool IsWritten() const { return location >= 0; }
};
static_assert(sizeof(QueueEntry) == 24);

// The slots the queue writes into and reads records back from: the mapped file in the service,
// memory in tests and benchmarks. Either operation may throw; the queue stays consistent, and a
// failed write can be repeated.
class RingSlots {
public:
    virtual void Read(std::int32_t slot, ZintarUtil::MessageRecord& record) = 0;
    virtual void Write(std::int32_t slot, const ZintarUtil::MessageRecord& record) = 0;

protected:
    ~RingSlots() = default;
};

class WriteQueue {
public:
    // Inserts the message behind every entry with a larger key (so among equal keys the newest
    // arrival stands first) and counts the entries in front of it as pending.
    void Insert(const ZintarUtil::LogMessage& message);

    // Removes the oldest entries beyond `limit` and keeps pendingCount within the length. The
    // service passes the smaller of maxMessage and the ring's capacity: the queue is never longer
    // than the ring it mirrors.
    void Trim(std::uint32_t limit);

    // Writes the pending entries into the ring described by `header` (a local copy that is
    // updated): incrementally at nextSlot, or, when at least a ring's worth is pending, the whole
    // ring from slot 0. Requires capacity ≥ 1. The counts stay as they are until MarkWritten, so
    // a write that fails can be repeated: it writes the same records into the same slots.
    void WritePending(ZintarUtil::FileHeader& header, RingSlots& ring);

    // The pending entries are in the file now.
    void MarkWritten();

    // Replaces the content with the `count` newest records of the ring that `header` describes,
    // read in place from `slots` (its slot area): keys, sequences and slots, nothing pending. The
    // header must describe slots inside the area (IsSoundHeader), and 0 ≤ count ≤ messageCount.
    void LoadFromRing(const ZintarUtil::FileHeader& header, const unsigned char* slots, std::int32_t count);

    // For a caller that builds the content itself (the repair of a damaged file): empties the
    // queue, then appends written records from the newest to the oldest.
    void Clear();
    void AppendOlder(std::uint64_t sortKey, std::uint64_t sequence, std::int32_t slot);

    // Writes the `count` newest entries into slots 0 .. count − 1, the oldest into slot 0, each
    // keeping its sequence: the full rewrite, and the compaction of a file found at another size.
    void RewriteFromSlotZero(std::int32_t count, std::int32_t capacity, RingSlots& ring);

    // The entries, newest first.
    const std::deque<QueueEntry>& Entries() const { return entries; }
    // The record of an entry that is not written yet.
    const ZintarUtil::MessageRecord& UnwrittenRecord(const QueueEntry& entry) const;

    std::int32_t PendingCount() const { return pendingCount; }
    std::int32_t DisplacedCount() const { return displacedCount; }

private:
    // Writes entries count − 1 .. 0 (the oldest first) into the slots firstSlot, firstSlot + 1,
    // ... of a ring of `capacity`, stamping the records with firstSequence, firstSequence + 1, ...
    // when `renumber` is set. Each entry's location follows its record as soon as it is written.
    void WriteOldestFirst(std::int32_t count, std::int32_t firstSlot, std::int32_t capacity, bool renumber,
                          std::uint64_t firstSequence, RingSlots& ring);

    // A place for one more unwritten record (its content undefined), and giving it back.
    std::int32_t NewUnwritten();
    void ReleaseUnwritten(const QueueEntry& entry);

    std::deque<QueueEntry> entries;
    // The records of the messages not yet written (and of a record taken aside while a rewrite
    // turns the ring), with the indexes free for reuse.
    std::vector<ZintarUtil::MessageRecord> unwritten;
    std::vector<std::int32_t> freeUnwritten;
    std::int32_t pendingCount = 0;
    std::int32_t displacedCount = 0;
};

}  // namespace ZintarServer
