#include "tests/support/LogImageBuilder.h"

#include <algorithm>
#include <cstring>

namespace ZintarTest {

using namespace ZintarUtil;

namespace {

constexpr std::int16_t kYear = 2026;

}  // namespace

const std::uint64_t kKeyBase = SortKeyOf(TimeFields{kYear, 1, 1, 0, 0, 0, 0, 0});

LogMessage MessageWithKey(std::uint64_t key, const std::string& text)
{
    LogMessage message{};
    message.timeStamp.year = kYear;
    message.timeStamp.month = 1;
    message.timeStamp.day = 1;
    message.timeStamp.milliseconds = static_cast<std::int16_t>(key % 1000);
    message.timeStamp.second = static_cast<std::int16_t>(key / 1000 % 60);
    message.timeStamp.minute = static_cast<std::int16_t>(key / 60000 % 60);
    message.timeStamp.hour = static_cast<std::int16_t>(key / 3600000);
    std::strncpy(message.text, text.c_str(), kTextFieldSize - 1);
    std::strncpy(message.auxText, "aux", kTextFieldSize - 1);
    return message;
}

std::uint64_t KeyOf(const LogMessage& message)
{
    return SortKeyOf(message) - kKeyBase;
}

MessageRecord RecordAt(std::int16_t second, std::uint32_t type, const char* text, const char* aux)
{
    MessageRecord record{};
    record.sequence = static_cast<std::uint64_t>(second);
    record.message.timeStamp = {2026, 12, 6, 10, 0, second, 5, 0};
    record.message.type = type;
    std::strncpy(record.message.text, text, sizeof record.message.text - 1);
    std::strncpy(record.message.auxText, aux, sizeof record.message.auxText - 1);
    return record;
}

LogImage::LogImage(std::int32_t capacity) : slots(static_cast<std::size_t>(std::max(capacity, 0)))
{
    header.capacity = capacity;
}

MessageRecord& LogImage::Slot(std::int32_t slot)
{
    return slots.at(static_cast<std::size_t>(slot));
}

void LogImage::Append(const LogMessage& message)
{
    MessageRecord& record = Slot(header.nextSlot);
    record = MessageRecord{};
    record.sequence = header.nextSequence++;
    record.message = message;
    header.nextSlot = (header.nextSlot + 1) % header.capacity;
    header.messageCount = std::min(header.messageCount + 1, header.capacity);
}

std::vector<unsigned char> LogImage::Bytes() const
{
    std::vector<unsigned char> bytes(kSlotsOffset + slots.size() * kRecordSize);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + kLockNamesOffset, &names, sizeof names);
    if (!slots.empty())
        std::memcpy(bytes.data() + kSlotsOffset, slots.data(), slots.size() * kRecordSize);
    return bytes;
}

}  // namespace ZintarTest
