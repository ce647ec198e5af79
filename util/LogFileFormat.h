// The bytes of the shared log file: a 240-byte header area followed by a ring of 560-byte
// message slots. The writer (the service) and every reader (client programs) share this header.
// All integers are little-endian; text is 8-bit and NUL-terminated inside fixed-size fields.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "util/ZintarNames.h"

namespace ZintarUtil {

static_assert(std::endian::native == std::endian::little,
              "the log file and the pipe records are little-endian and read in place");

// The time stamp in the layout of the Windows kernel's TIME_FIELDS.
struct TimeFields {
    std::int16_t year;
    std::int16_t month;
    std::int16_t day;
    std::int16_t hour;
    std::int16_t minute;
    std::int16_t second;
    std::int16_t milliseconds;
    std::int16_t weekday;  // carried along; not part of the ordering
};

constexpr std::size_t kTextFieldSize = 257;  // 256 characters and their NUL

// A message's type is 0 to 3; a mask of types sets bit i for type i.
constexpr std::uint32_t kMessageTypes = 4;
constexpr std::uint32_t kEveryTypeMask = (1u << kMessageTypes) - 1;

#pragma pack(push, 1)
// One log message exactly as the device driver delivers it and as a pipe client sends it.
struct LogMessage {
    std::uint8_t leading[8];  // the producer's business; passed through unchanged
    TimeFields timeStamp;
    std::uint32_t type;  // 0 to 3
    char text[kTextFieldSize];
    char auxText[kTextFieldSize];
    std::uint8_t trailing[4];  // the producer's business; passed through unchanged
};
#pragma pack(pop)

struct FileHeader {
    std::uint32_t readCount;  // read accesses held at this moment
    std::uint8_t serverRunning;
    std::uint8_t padding1[3];
    std::int32_t messageCount;
    std::int32_t capacity;
    std::int32_t nextSlot;
    std::uint8_t padding2[4];
    std::uint64_t updateCount;
    std::uint64_t generation;
    std::uint64_t nextSequence;
};

constexpr std::size_t kLockNameSize = 64;

struct LockNames {
    char headerMutexName[kLockNameSize];
    char readWaitEventName[kLockNameSize];
    char writeWaitEventName[kLockNameSize];
};

struct MessageRecord {
    std::uint64_t sequence;
    LogMessage message;
    std::uint8_t filler[6];  // undefined content
};

static_assert(sizeof(TimeFields) == 16);
static_assert(sizeof(LogMessage) == 546);
static_assert(offsetof(LogMessage, timeStamp) == 8);
static_assert(offsetof(LogMessage, type) == 24);
static_assert(offsetof(LogMessage, text) == 28);
static_assert(offsetof(LogMessage, auxText) == 285);
static_assert(offsetof(LogMessage, trailing) == 542);

static_assert(sizeof(FileHeader) == 48);
static_assert(offsetof(FileHeader, readCount) == 0);
static_assert(offsetof(FileHeader, serverRunning) == 4);
static_assert(offsetof(FileHeader, messageCount) == 8);
static_assert(offsetof(FileHeader, capacity) == 12);
static_assert(offsetof(FileHeader, nextSlot) == 16);
static_assert(offsetof(FileHeader, updateCount) == 24);
static_assert(offsetof(FileHeader, generation) == 32);
static_assert(offsetof(FileHeader, nextSequence) == 40);

static_assert(sizeof(LockNames) == 192);

static_assert(sizeof(MessageRecord) == 560);
static_assert(offsetof(MessageRecord, message) == 8);
static_assert(offsetof(MessageRecord, filler) == 554);

constexpr std::size_t kLockNamesOffset = sizeof(FileHeader);                // 48
constexpr std::size_t kSlotsOffset = kLockNamesOffset + sizeof(LockNames);  // 240
constexpr std::size_t kRecordSize = sizeof(MessageRecord);                  // 560
static_assert(kSlotsOffset == 240);

// The file length is computed in unsigned 32-bit arithmetic, so at most this many slots fit.
constexpr std::uint32_t kMaxCapacity = 7669584;
static_assert(std::uint64_t{kMaxCapacity} * kRecordSize + kSlotsOffset <= 0xFFFFFFFFu);
static_assert(std::uint64_t{kMaxCapacity + 1} * kRecordSize + kSlotsOffset > 0xFFFFFFFFu);

// The 64-bit ordering key of a time stamp: every month counts as 31 days. Fields are
// sign-extended and the arithmetic is signed; keys are compared as unsigned numbers, so a
// negative field gives a very large key.
std::uint64_t SortKeyOf(const TimeFields& timeStamp);
std::uint64_t SortKeyOf(const LogMessage& message);

// maxMessage × 560 + 240 in unsigned 32-bit arithmetic, as the file length is defined.
std::uint32_t FileLengthFor(std::uint32_t maxMessage);

// Whether a message limit can be stored: at least one slot, and a length that fits 32 bits.
bool IsStorableCapacity(std::uint32_t maxMessage);

// How many whole slots a file of `length` bytes holds past its header, at most kMaxCapacity.
std::int32_t SlotsWithin(std::uint64_t length);

// Byte offset of slot `slot` from the start of the file.
constexpr std::uint64_t SlotOffset(std::int32_t slot)
{
    return kSlotsOffset + static_cast<std::uint64_t>(slot) * kRecordSize;
}

// The slot of the i-th newest record (i = 0 is the newest) of a ring whose next write goes to
// `nextSlot`. Requires capacity ≥ 1 and 0 ≤ i; the result is in 0 .. capacity − 1.
constexpr std::int32_t NewestFirstSlot(std::int32_t nextSlot, std::int32_t capacity, std::int32_t i)
{
    const std::int64_t slot = (static_cast<std::int64_t>(nextSlot) - 1 - i) % capacity;
    return static_cast<std::int32_t>(slot < 0 ? slot + capacity : slot);
}

// A reader's way into a ring it holds read access to: a copy of the i-th newest record, `i` from 0
// (the newest) to messageCount − 1 (the oldest) of the ring its header describes.
using NewestRecord = std::function<MessageRecord(std::int32_t i)>;

// Calls visit(record) for the `count` newest records of the ring that `header` describes, newest
// first, reading them in place from `slots` (the slot area of the file or its view); stops early
// when visit returns false, and then returns false. The header must describe slots that all lie
// inside the slot area (IsSoundHeader), and 0 ≤ count ≤ messageCount. No division per record.
template <class Visit>
bool ForEachNewestFirst(const FileHeader& header, const unsigned char* slots, std::int32_t count, Visit&& visit)
{
    std::int32_t slot = count > 0 ? NewestFirstSlot(header.nextSlot, header.capacity, 0) : 0;
    for (std::int32_t i = 0; i < count; ++i) {
        if (!visit(*reinterpret_cast<const MessageRecord*>(slots + static_cast<std::size_t>(slot) * kRecordSize)))
            return false;
        slot = slot == 0 ? header.capacity - 1 : slot - 1;
    }
    return true;
}

// The same walk the other way round: the `count` newest records, oldest first. The records are
// read in the order they lie in memory (at most two runs of ascending slots), which is what the
// processor's prefetching is best at; the newest-first walk descends through memory.
template <class Visit>
bool ForEachOldestFirst(const FileHeader& header, const unsigned char* slots, std::int32_t count, Visit&& visit)
{
    std::int32_t slot = count > 0 ? NewestFirstSlot(header.nextSlot, header.capacity, count - 1) : 0;
    for (std::int32_t i = 0; i < count; ++i) {
        if (!visit(*reinterpret_cast<const MessageRecord*>(slots + static_cast<std::size_t>(slot) * kRecordSize)))
            return false;
        slot = slot == header.capacity - 1 ? 0 : slot + 1;
    }
    return true;
}

// True when a field of `size` bytes holds a NUL.
bool HasTerminator(const char* field, std::size_t size);

// FNV-1a of the message's 546 bytes: equal messages, equal digests.
std::uint64_t DigestOf(const LogMessage& message);

// The three names as a file stores them, each cut to 63 characters and terminated.
LockNames LockNamesOf(const char* headerMutexName, const char* readWaitEventName, const char* writeWaitEventName);
// Whether a file's lock names are `expected` (bytes after each name's NUL are not compared).
bool SameLockNames(const LockNames& found, const LockNames& expected);

}  // namespace ZintarUtil
