#include "util/LogFileSalvage.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <tuple>

#include "util/LogFileSoundness.h"

namespace ZintarUtil {

namespace {

bool IsWithin(std::int16_t value, int lowest, int highest)
{
    return value >= lowest && value <= highest;
}

bool IsCalendarTime(const TimeFields& t)
{
    return IsWithin(t.year, 1601, 30827) && IsWithin(t.month, 1, 12) && IsWithin(t.day, 1, 31) &&
           IsWithin(t.hour, 0, 23) && IsWithin(t.minute, 0, 59) && IsWithin(t.second, 0, 59) &&
           IsWithin(t.milliseconds, 0, 999);
}

const MessageRecord& RecordAt(const unsigned char* slots, std::int32_t slot)
{
    return *reinterpret_cast<const MessageRecord*>(slots + static_cast<std::size_t>(slot) * kRecordSize);
}

bool IsBlank(const unsigned char* bytes, std::size_t length)
{
    return std::all_of(bytes, bytes + length, [](unsigned char byte) { return byte == 0; });
}

// A copy of a message: the same 546 bytes. The sequence is left out, because a rewrite that moves a
// late message's successors renumbers them, and a writer that died in it leaves both numbers.
bool IsSameMessage(const unsigned char* slots, const SalvagedRecord& a, const SalvagedRecord& b)
{
    return a.sortKey == b.sortKey &&
           std::memcmp(&RecordAt(slots, a.slot).message, &RecordAt(slots, b.slot).message, sizeof(LogMessage)) == 0;
}

}  // namespace

bool IsWholeRecord(const MessageRecord& record)
{
    TimeFields timeStamp;
    std::memcpy(&timeStamp, &record.message.timeStamp, sizeof timeStamp);  // the message is packed
    return IsWellFormedMessage(record.message) && IsCalendarTime(timeStamp);
}

Salvage SalvageRecords(const unsigned char* slots, std::int32_t slotCount, std::uint32_t keepNewest)
{
    Salvage salvage;
    struct Candidate {
        SalvagedRecord record;
        std::uint64_t hash;
    };
    std::vector<Candidate> candidates;
    for (std::int32_t slot = 0; slot < slotCount; ++slot) {
        const MessageRecord& record = RecordAt(slots, slot);
        if (IsWholeRecord(record))
            candidates.push_back({{SortKeyOf(record.message), record.sequence, slot}, DigestOf(record.message)});
        else if (!IsBlank(reinterpret_cast<const unsigned char*>(&record), kRecordSize))
            ++salvage.dropped;
    }

    // Copies of one message stand together (by key and digest, even among many messages of one
    // key), the lowest sequence (the one published first) in front; only that one is kept.
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return std::tie(a.record.sortKey, a.hash, a.record.sequence, a.record.slot) <
               std::tie(b.record.sortKey, b.hash, b.record.sequence, b.record.slot);
    });
    std::vector<SalvagedRecord>& records = salvage.records;
    std::size_t sameHashStart = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (i > 0 && (candidates[i].record.sortKey != candidates[i - 1].record.sortKey ||
                      candidates[i].hash != candidates[i - 1].hash))
            sameHashStart = records.size();
        const bool copy =
            std::any_of(records.begin() + static_cast<std::ptrdiff_t>(sameHashStart), records.end(),
                        [&](const SalvagedRecord& kept) { return IsSameMessage(slots, kept, candidates[i].record); });
        if (copy)
            ++salvage.dropped;
        else
            records.push_back(candidates[i].record);
    }
    std::sort(records.begin(), records.end(), [](const SalvagedRecord& a, const SalvagedRecord& b) {
        return std::tie(a.sortKey, a.sequence, a.slot) < std::tie(b.sortKey, b.sequence, b.slot);
    });

    if (records.size() > keepNewest) {
        const std::size_t oldest = records.size() - keepNewest;
        salvage.dropped += oldest;
        records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(oldest));
    }
    for (const SalvagedRecord& record : records)
        salvage.highestSequence = std::max(salvage.highestSequence, record.sequence);
    return salvage;
}

FileHeader RepairedHeader(const FileHeader& found, const Salvage& salvage, std::int32_t capacity)
{
    const auto kept = static_cast<std::int32_t>(salvage.records.size());
    FileHeader repaired{};
    repaired.capacity = capacity;
    repaired.messageCount = kept;
    repaired.nextSlot = kept % capacity;
    repaired.updateCount = found.updateCount + 1;
    repaired.generation = found.generation + 1;
    repaired.nextSequence = kept == 0 ? 0 : salvage.highestSequence + 1;
    return repaired;
}

}  // namespace ZintarUtil
