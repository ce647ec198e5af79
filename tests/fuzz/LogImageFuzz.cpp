// A log file image as found on disk: the soundness test and the salvage never read past the bytes;
// the salvage keeps only whole records, each slot once, in time order; and a sound image can be
// walked and followed the way a client does, every described slot inside the image.
#include <cstdint>
#include <cstring>
#include <vector>

#include "util/LogFileSalvage.h"
#include "util/LogFileSoundness.h"
#include "util/LogFollower.h"

using namespace ZintarUtil;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::uint8_t> image(data, data + size);  // exactly sized, for the sanitizer
    if (size >= kSlotsOffset) {
        const std::int32_t slotCount = SlotsWithin(size);
        const Salvage salvage = SalvageRecords(image.data() + kSlotsOffset, slotCount, 3);
        if (salvage.records.size() > 3)
            __builtin_trap();
        for (std::size_t i = 0; i < salvage.records.size(); ++i) {
            MessageRecord record;
            std::memcpy(&record, image.data() + SlotOffset(salvage.records[i].slot), sizeof record);
            if (!IsWholeRecord(record) || (i > 0 && salvage.records[i].sortKey < salvage.records[i - 1].sortKey))
                __builtin_trap();
        }
    }
    if (!IsSoundLogImage(image.data(), image.size()))
        return 0;
    FileHeader header;
    std::memcpy(&header, image.data(), sizeof header);
    LogFollower follower;
    const FollowUpdate update = follower.Poll(header, [&](std::int32_t i) {
        const std::uint64_t offset = SlotOffset(NewestFirstSlot(header.nextSlot, header.capacity, i));
        if (offset + kRecordSize > image.size())
            __builtin_trap();  // sound, yet a slot outside the image
        MessageRecord record;
        std::memcpy(&record, image.data() + offset, sizeof record);
        return record;
    });
    if (update.messages.size() != static_cast<std::size_t>(header.messageCount))
        __builtin_trap();
    return 0;
}
