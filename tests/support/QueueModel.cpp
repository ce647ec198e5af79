#include "tests/support/QueueModel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>

#include "tests/support/LogImageBuilder.h"
#include "util/LogFileSalvage.h"
#include "util/LogFileSoundness.h"
#include "util/LogFollower.h"

namespace ZintarTest {

using ZintarServer::QueueEntry;
using ZintarServer::WriteQueue;
using ZintarUtil::FollowUpdate;
using ZintarUtil::MessageRecord;
using ZintarUtil::SortKeyOf;

MemoryRing::MemoryRing(std::int32_t capacity) : slots(static_cast<std::size_t>(capacity))
{
    header.capacity = capacity;
    header.generation = 2;
}

void MemoryRing::Read(std::int32_t slot, MessageRecord& record)
{
    record = slots.at(static_cast<std::size_t>(slot));
}

void MemoryRing::Write(std::int32_t slot, const MessageRecord& record)
{
    if (writesLeft >= 0 && writesLeft-- == 0)
        throw std::runtime_error("view lost");
    slots.at(static_cast<std::size_t>(slot)) = record;
}

bool MemoryRing::Flush(WriteQueue& queue, int failAt)
{
    ZintarUtil::FileHeader copy = header;
    writesLeft = failAt;
    try {
        queue.WritePending(copy, *this);
    } catch (const std::runtime_error&) {
        return false;
    }
    writesLeft = -1;
    header = copy;
    queue.MarkWritten();
    return true;
}

const MessageRecord& MemoryRing::Newest(std::int32_t i) const
{
    return slots.at(static_cast<std::size_t>(ZintarUtil::NewestFirstSlot(header.nextSlot, header.capacity, i)));
}

std::vector<std::uint64_t> MemoryRing::NewestKeys() const
{
    std::vector<std::uint64_t> keys;
    for (std::int32_t i = 0; i < header.messageCount; ++i)
        keys.push_back(ZintarUtil::SortKeyOf(Newest(i).message));
    return keys;
}

std::vector<unsigned char> MemoryRing::Image() const
{
    std::vector<unsigned char> bytes(ZintarUtil::kSlotsOffset + slots.size() * ZintarUtil::kRecordSize);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + ZintarUtil::kSlotsOffset, slots.data(), slots.size() * ZintarUtil::kRecordSize);
    return bytes;
}

namespace {

// Every message carries its number of arrival in its text.
unsigned IdOf(const MessageRecord& record)
{
    return static_cast<unsigned>(std::strtoul(record.message.text, nullptr, 10));
}

class Model {
public:
    Model(std::int32_t capacity, std::uint32_t limit) : ring(capacity), limit(limit) {}

    std::string Step(std::uint8_t op)
    {
        if (op < 0x30)
            return Flush(op < 0x10 ? op % 4 : -1, op >= 0x08 && op < 0x10, op >= 0x28);
        if (op < 0x40)
            return Poll();
        // Mostly later than the last arrival, sometimes late, sometimes equal.
        clock += op % 3;
        const std::uint64_t key = clock + 8 - (op % 16);
        queue.Insert(MessageWithKey(key, std::to_string(++arrivals)));
        queue.Trim(limit);
        return {};
    }

private:
    // A flush that fails after `failAt` writes is repeated; with `crash`, the writer dies there
    // instead, and when it left the ring unsound the next one repairs it. With `restart`, the
    // service stops after the flush and starts again.
    std::string Flush(int failAt, bool crash, bool restart)
    {
        if (failAt >= 0) {
            const std::set<unsigned> published = PublishedAndQueued();
            const std::size_t allowed = queue.PendingCount() >= ring.header.capacity ? 1 : 0;
            if (!ring.Flush(queue, failAt)) {
                // Every published record that the queue still holds lies in some slot, but for
                // the one a turning full rewrite holds aside.
                if (MissingFromSlots(published, ring.header.capacity) > allowed)
                    return "a flush that stopped part-way lost a published record";
                const std::vector<unsigned char> torn = ring.Image();
                if (crash && !ZintarUtil::IsSoundLogImage(torn.data(), torn.size())) {
                    RestartWithRepair();
                    if (MissingFromSlots(published, ring.header.messageCount) > allowed)
                        return "a repair lost a published record";
                } else if (!ring.Flush(queue)) {
                    return "a flush repeated after a failure failed again";
                }
            }
        } else {
            ring.Flush(queue);
            if (restart)
                RestartWithLoad();
        }
        const std::vector<unsigned char> image = ring.Image();
        if (!ZintarUtil::IsSoundLogImage(image.data(), image.size()))
            return "the ring is not sound after a flush";
        std::vector<std::uint64_t> newest;
        for (const QueueEntry& entry : queue.Entries())
            newest.push_back(entry.sortKey);
        if (ring.NewestKeys() != newest)
            return "the ring does not hold the queue's newest entries";
        for (std::int32_t i = 0; i < ring.header.messageCount; ++i) {
            const QueueEntry& entry = queue.Entries()[static_cast<std::size_t>(i)];
            if (entry.location != ZintarUtil::NewestFirstSlot(ring.header.nextSlot, ring.header.capacity, i) ||
                entry.sequence != ring.Newest(i).sequence)
                return "the queue lost track of where a record lies";
            // A repair orders messages of one time stamp by their sequences, which a writer that
            // died while it renumbered them left partly renewed: those are not judged.
            if (i > 0 && SortKeyOf(ring.Newest(i).message) == SortKeyOf(ring.Newest(i - 1).message) &&
                IdOf(ring.Newest(i)) > IdOf(ring.Newest(i - 1)) && IdOf(ring.Newest(i - 1)) > repairedUpTo)
                return "messages with equal keys stand out of their order of arrival";
        }
        return {};
    }

    // What the next writer does with an unsound ring: the whole records, oldest first from slot 0,
    // and the initialization's step of the generation.
    void RestartWithRepair()
    {
        const auto capacity = ring.header.capacity;
        const ZintarUtil::Salvage salvage =
            ZintarUtil::SalvageRecords(reinterpret_cast<const unsigned char*>(ring.slots.data()), capacity, limit);
        queue = WriteQueue();
        for (auto record = salvage.records.rbegin(); record != salvage.records.rend(); ++record)
            queue.AppendOlder(record->sortKey, record->sequence, record->slot);
        queue.RewriteFromSlotZero(static_cast<std::int32_t>(salvage.records.size()), capacity, ring);
        ring.header = ZintarUtil::RepairedHeader(ring.header, salvage, capacity);
        ring.header.generation += 1;
        repairedUpTo = arrivals;
    }

    // What a start does with the sound ring a stop left: the queue read back from the ring, and
    // the initialization's step of the generation.
    void RestartWithLoad()
    {
        queue.LoadFromRing(ring.header, reinterpret_cast<const unsigned char*>(ring.slots.data()),
                           ring.header.messageCount);
        ring.header.generation += 1;
    }

    std::set<unsigned> PublishedAndQueued() const
    {
        std::set<unsigned> ids;
        for (const QueueEntry& entry : queue.Entries())
            if (entry.IsWritten())
                ids.insert(IdOf(ring.slots.at(static_cast<std::size_t>(entry.location))));
        return ids;
    }

    // Of `ids`, those in none of the first `slots` slots.
    std::size_t MissingFromSlots(std::set<unsigned> ids, std::int32_t slots) const
    {
        for (std::int32_t slot = 0; slot < slots; ++slot)
            ids.erase(IdOf(ring.slots[static_cast<std::size_t>(slot)]));
        return ids.size();
    }

    std::string Poll()
    {
        const FollowUpdate update = follower.Poll(ring.header, [this](std::int32_t i) { return ring.Newest(i); });
        if (update.restarted)
            delivered.clear();
        std::uint64_t previous = 0;
        for (const MessageRecord& record : update.messages) {
            if (!delivered.insert(IdOf(record)).second)
                return "a message was delivered twice within one generation";
            if (ZintarUtil::SortKeyOf(record.message) < previous)
                return "a poll delivered messages out of time order";
            previous = ZintarUtil::SortKeyOf(record.message);
        }
        for (std::int32_t i = 0; i < ring.header.messageCount; ++i)
            if (delivered.count(IdOf(ring.Newest(i))) == 0)
                return "a message in the ring was never delivered";
        return {};
    }

    WriteQueue queue;
    MemoryRing ring;
    ZintarUtil::LogFollower follower;
    std::set<unsigned> delivered;
    std::uint32_t limit;
    std::uint64_t clock = 100;
    unsigned arrivals = 0;
    unsigned repairedUpTo = 0;  // messages that arrived before the last repair
};

}  // namespace

std::string RunQueueModel(const std::uint8_t* bytes, std::size_t size)
{
    if (size == 0)
        return {};
    // The queue is as long as the ring, as in the service, where both come from one limit; a
    // batch of a ring's worth or more is the full rewrite.
    const std::int32_t capacity = 1 + bytes[0] % 16;
    Model model(capacity, static_cast<std::uint32_t>(capacity));
    for (std::size_t i = 1; i < size; ++i) {
        std::string broken = model.Step(bytes[i]);
        if (!broken.empty())
            return broken + " (step " + std::to_string(i) + ")";
    }
    return {};
}

}  // namespace ZintarTest
