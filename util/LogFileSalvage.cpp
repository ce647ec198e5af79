#include "LogFileSalvage.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <tuple>

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

// The sequence and the message: what a copy of a record repeats. The filler is undefined.
constexpr std::size_t kComparedBytes = offsetof(MessageRecord, filler);

bool IsCopy(const unsigned char* slots, const SalvagedRecord& a, const SalvagedRecord& b)
{
    return a.sortKey == b.sortKey && a.sequence == b.sequence &&
           std::memcmp(&RecordAt(slots, a.slot), &RecordAt(slots, b.slot), kComparedBytes) == 0;
}

}  // namespace

bool IsWholeRecord(const MessageRecord& record)
{
    TimeFields timeStamp;
    std::memcpy(&timeStamp, &record.message.timeStamp, sizeof timeStamp);  // the message is packed
    return record.message.type < 4 && HasTerminator(record.message.text, kTextFieldSize) &&
           HasTerminator(record.message.auxText, kTextFieldSize) && IsCalendarTime(timeStamp);
}

Salvage SalvageRecords(const unsigned char* slots, std::int32_t slotCount, std::uint32_t keepNewest)
{
    Salvage salvage;
    std::vector<SalvagedRecord>& records = salvage.records;
    for (std::int32_t slot = 0; slot < slotCount; ++slot) {
        const MessageRecord& record = RecordAt(slots, slot);
        if (IsWholeRecord(record))
            records.push_back({SortKeyOf(record.message), record.sequence, slot});
        else if (!IsBlank(reinterpret_cast<const unsigned char*>(&record), kRecordSize))
            ++salvage.dropped;
    }
    std::sort(records.begin(), records.end(), [](const SalvagedRecord& a, const SalvagedRecord& b) {
        return std::tie(a.sortKey, a.sequence, a.slot) < std::tie(b.sortKey, b.sequence, b.slot);
    });

    // Copies stand together now, among the few records of the same key and sequence; each is
    // compared with the ones kept before it in that run.
    std::size_t kept = 0;
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (kept == 0 || records[kept - 1].sortKey != records[i].sortKey ||
            records[kept - 1].sequence != records[i].sequence)
            runStart = kept;
        const bool copy = std::any_of(records.begin() + static_cast<std::ptrdiff_t>(runStart),
                                      records.begin() + static_cast<std::ptrdiff_t>(kept),
                                      [&](const SalvagedRecord& earlier) { return IsCopy(slots, earlier, records[i]); });
        if (copy)
            ++salvage.dropped;
        else
            records[kept++] = records[i];
    }
    records.resize(kept);

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
