#include "util/LogFileSoundness.h"

#include <cstring>

namespace ZintarUtil {

bool IsSoundHeader(const FileHeader& header, std::uint64_t fileLength)
{
    if (header.messageCount < 0 || header.capacity < 0 || header.nextSlot < 0)
        return false;
    if (header.messageCount > header.capacity)
        return false;
    if (header.nextSlot >= header.capacity)
        return false;
    return SlotOffset(header.capacity) <= fileLength;
}

bool IsWellFormedMessage(const LogMessage& message)
{
    return message.type < kMessageTypes && HasTerminator(message.text, kTextFieldSize) &&
           HasTerminator(message.auxText, kTextFieldSize);
}

bool RecordSequenceCheck::Accept(const MessageRecord& record)
{
    const std::uint64_t key = SortKeyOf(record.message);
    if (key > previousKey)
        return false;
    previousKey = key;
    return IsWellFormedMessage(record.message);
}

bool IsSoundLogImage(const void* bytes, std::size_t length)
{
    if (length < sizeof(FileHeader))
        return false;
    const auto* image = static_cast<const unsigned char*>(bytes);
    FileHeader header;
    std::memcpy(&header, image, sizeof header);
    if (!IsSoundHeader(header, length))
        return false;

    RecordSequenceCheck check;
    return ForEachNewestFirst(header, image + kSlotsOffset, header.messageCount,
                              [&](const MessageRecord& record) { return check.Accept(record); });
}

}  // namespace ZintarUtil
