// What can be kept of a damaged log file. A writer that died while it moved records, or a power
// loss between two saves, leaves a file whose header and slots no longer agree; most of its
// records are still whole, and logs are most needed just after such a crash. The salvage keeps
// every record that is whole on its own, wherever it lies, each once, in time order.
#pragma once

#include <cstdint>
#include <vector>

#include "util/LogFileFormat.h"

namespace ZintarUtil {

// A record that stands on its own: a type below 4, text and auxText each terminated, and a time
// stamp inside the calendar (year 1601 to 30827, as Windows counts them, month 1 to 12, day 1 to
// 31, hour, minute, second and millisecond within their ranges; the weekday is not judged). A
// slot that was never written (all zeros) fails the calendar test, as does nearly any garbage.
bool IsWholeRecord(const MessageRecord& record);

struct SalvagedRecord {
    std::uint64_t sortKey;
    std::uint64_t sequence;
    std::int32_t slot;
};

struct Salvage {
    // Oldest first: by key, then by sequence (then by slot, so that the result never depends on
    // how the sort met equal records).
    std::vector<SalvagedRecord> records;
    std::uint64_t highestSequence = 0;  // of the records kept; 0 when none
    // Slots that held something (not all zeros) and are not kept: damaged records, second copies
    // of a message, and the oldest records beyond `keepNewest`.
    std::uint64_t dropped = 0;
};

// Looks at every one of the `slotCount` slots starting at `slots` (the slot area of the file, or
// of its view, at least slotCount × 560 bytes), ignoring the header: after a crash the header is
// the part least to be trusted. Keeps the whole records, of several copies of one message (the
// same 546 bytes, whatever their sequences) the one with the lowest sequence, and of the rest the
// newest `keepNewest`. Reads only; safe to run again.
Salvage SalvageRecords(const unsigned char* slots, std::int32_t slotCount, std::uint32_t keepNewest);

// The header of the file rebuilt from `salvage`, its records oldest first in slots 0, 1, ... of a
// ring of `capacity` (≥ the records kept) slots. Each record keeps its sequence (a follower
// recognises records by it), and nextSequence is the highest kept plus one. The generation is one
// past the one found, and the initialization that follows every open adds the second step: no
// follower takes the repaired file for the one it read. Counters of readers are 0.
FileHeader RepairedHeader(const FileHeader& found, const Salvage& salvage, std::int32_t capacity);

}  // namespace ZintarUtil
