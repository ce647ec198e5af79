#include "util/LogFileFormat.h"

#include <algorithm>
#include <cstring>

namespace ZintarUtil {

std::uint64_t SortKeyOf(const TimeFields& t)
{
    std::int64_t key = t.year;
    key = key * 12 + t.month;
    key = key * 31 + t.day;
    key = key * 24 + t.hour;
    key = key * 60 + t.minute;
    key = key * 60 + t.second;
    key = key * 1000 + t.milliseconds;
    return static_cast<std::uint64_t>(key);
}

std::uint64_t SortKeyOf(const LogMessage& message)
{
    TimeFields copy;
    std::memcpy(&copy, &message.timeStamp, sizeof copy);  // the message is packed
    return SortKeyOf(copy);
}

std::uint32_t FileLengthFor(std::uint32_t maxMessage)
{
    return maxMessage * static_cast<std::uint32_t>(kRecordSize) + static_cast<std::uint32_t>(kSlotsOffset);
}

std::int32_t SlotsWithin(std::uint64_t length)
{
    return static_cast<std::int32_t>(
        std::min<std::uint64_t>((length - std::min<std::uint64_t>(length, kSlotsOffset)) / kRecordSize, kMaxCapacity));
}

bool IsStorableCapacity(std::uint32_t maxMessage)
{
    return maxMessage >= 1 && maxMessage <= kMaxCapacity;
}

bool HasTerminator(const char* field, std::size_t size)
{
    return std::memchr(field, '\0', size) != nullptr;
}

std::uint64_t DigestOf(const LogMessage& message)
{
    std::uint64_t digest = 14695981039346656037ull;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&message);
    for (std::size_t i = 0; i < sizeof message; ++i)
        digest = (digest ^ bytes[i]) * 1099511628211ull;
    return digest;
}

LockNames LockNamesOf(const char* headerMutexName, const char* readWaitEventName, const char* writeWaitEventName)
{
    LockNames names{};
    std::strncpy(names.headerMutexName, headerMutexName, kLockNameSize - 1);
    std::strncpy(names.readWaitEventName, readWaitEventName, kLockNameSize - 1);
    std::strncpy(names.writeWaitEventName, writeWaitEventName, kLockNameSize - 1);
    return names;
}

bool SameLockNames(const LockNames& found, const LockNames& expected)
{
    auto same = [](const char* a, const char* b) { return std::strncmp(a, b, kLockNameSize) == 0; };
    return same(found.headerMutexName, expected.headerMutexName) &&
           same(found.readWaitEventName, expected.readWaitEventName) &&
           same(found.writeWaitEventName, expected.writeWaitEventName);
}

}  // namespace ZintarUtil
