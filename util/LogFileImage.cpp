#include "util/LogFileImage.h"

#include <algorithm>
#include <cstring>

#include "util/LogFileSalvage.h"
#include "util/LogFileSoundness.h"

namespace ZintarUtil {

namespace {

bool HoldsServiceLockNames(const unsigned char* bytes, std::size_t length)
{
    if (length < kSlotsOffset)
        return false;
    LockNames names;
    std::memcpy(&names, bytes + kLockNamesOffset, sizeof names);
    return SameLockNames(names, LockNamesOf(kHeaderMutexName, kReadWaitEventName, kWriteWaitEventName));
}

MessageRecord RecordAt(const unsigned char* slots, std::int32_t slot)
{
    MessageRecord record;
    std::memcpy(&record, slots + static_cast<std::size_t>(slot) * kRecordSize, sizeof record);
    return record;
}

}  // namespace

LogImageContent ReadLogImage(const unsigned char* bytes, std::size_t length)
{
    LogImageContent content;
    if (!HoldsServiceLockNames(bytes, length))
        return content;
    const unsigned char* slots = bytes + kSlotsOffset;
    std::memcpy(&content.header, bytes, sizeof content.header);
    if (IsSoundLogImage(bytes, length)) {
        content.kind = LogImageContent::Kind::Sound;
        ForEachNewestFirst(content.header, slots, content.header.messageCount, [&](const MessageRecord& record) {
            content.newestFirst.push_back(record);
            return true;
        });
        return content;
    }
    const std::int32_t slotCount = SlotsWithin(length);
    const Salvage salvage = SalvageRecords(slots, slotCount, kMaxCapacity);
    content.kind = LogImageContent::Kind::Damaged;
    content.header = RepairedHeader(content.header, salvage, std::max<std::int32_t>(slotCount, 1));
    content.skipped = salvage.dropped;
    for (auto record = salvage.records.rbegin(); record != salvage.records.rend(); ++record)
        content.newestFirst.push_back(RecordAt(slots, record->slot));
    return content;
}

}  // namespace ZintarUtil
