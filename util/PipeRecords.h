// The two 1028-byte records of the client protocol, shared by the service and its clients: a client writes one PipeRequest on the
// request pipe and reads one PipeReply from the reply pipe. Both are a 32-bit code followed by a
// 1024-byte body whose layout depends on the code. Integers are little-endian; texts are 8-bit and
// NUL-terminated inside their fields.
//
// The accessors never read or write outside the record: a text field is read up to its NUL or the
// end of its field, whichever comes first, and a text that does not fit a field is cut to fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "LogFileFormat.h"

namespace ZintarUtil {

constexpr std::size_t kPipeRecordSize = 1028;
constexpr std::size_t kPipeBodySize = kPipeRecordSize - 4;

// The codes of requests and replies and where their fields lie: the protocol's own names, used
// as Pipe::kPing, Pipe::kTextOffset.
namespace Pipe {

enum RequestCode : std::uint32_t {
    kGetFileMapName = 2,
    kWriteMessage = 3,
    kPing = 4,
    kGetSettings = 5,
    kSetSettings = 6,
    kGetLogFileName = 7,
    kSetLogFileName = 8,
    kGetFilter = 9,
    kClearFilters = 10,
    kAddFilter = 11,
    kGetDefaultLogFileName = 12,
};

enum ReplyCode : std::uint32_t {
    kReplyTooLong = 4,
    kReplyUnknown = 5,
    kReplyFailed = 7,
    kReplyNoFilter = 8,
    kReplyOk = 11,
    kReplyFileMapName = 12,
    kReplyPing = 13,
    kReplySettings = 14,
    kReplyFileName = 15,
    kReplyFilter = 16,
};

// Offsets into the record (the code is at 0).
constexpr std::size_t kMessageOffset = 4;          // WriteMessage: one LogMessage
constexpr std::size_t kMaxMessageOffset = 4;       // SetSettings and ReplySettings
constexpr std::size_t kDevicePollRateOffset = 8;
constexpr std::size_t kTypeFilterOffset = 12;
constexpr std::size_t kSaveRateOffset = 16;
constexpr std::size_t kTextOffset = 4;             // every text field starts here
constexpr std::size_t kFilterIndexOffset = 4;      // GetFilter
constexpr std::size_t kFilterKindOffset = 132;     // AddFilter and ReplyFilter
// ReplySettings also says what the service runs on (codes 2 to 12 stay as they are, so no new
// request is needed): state flags, then the path of the log file in use.
constexpr std::size_t kStateFlagsOffset = 20;
constexpr std::size_t kLogFileInUseOffset = 24;
constexpr std::size_t kLogFileInUseFieldSize = kPipeRecordSize - kLogFileInUseOffset;  // 1004
constexpr std::uint32_t kStateLogFileFallback = 1;  // LogFile could not be used: the default is
constexpr std::uint32_t kStateDeviceOpen = 2;       // the Zintar device is open
constexpr std::size_t kPathFieldSize = kPipeBodySize;  // 1024 bytes with the NUL
constexpr std::size_t kFilterFieldSize = 128;          // 128 bytes with the NUL

}  // namespace Pipe

// The byte image shared by both records, with the typed access every code needs.
struct PipeRecord {
    std::uint32_t code;
    std::uint8_t body[kPipeBodySize];

    std::uint32_t U32At(std::size_t offset) const;
    void SetU32At(std::size_t offset, std::uint32_t value);

    // The text of the field of `fieldSize` bytes at `offset`, or nothing when the field holds no
    // NUL.
    std::optional<std::string> TextAt(std::size_t offset, std::size_t fieldSize) const;
    // Stores `text` with its NUL, cut to fieldSize − 1 characters when it is longer; true when
    // it fitted whole.
    bool SetText(std::size_t offset, std::size_t fieldSize, const std::string& text);

    LogMessage MessageAt(std::size_t offset) const;
    void SetMessage(std::size_t offset, const LogMessage& message);
};

struct PipeRequest : PipeRecord {};
struct PipeReply : PipeRecord {};

static_assert(sizeof(PipeRecord) == kPipeRecordSize);
static_assert(sizeof(PipeRequest) == kPipeRecordSize);
static_assert(sizeof(PipeReply) == kPipeRecordSize);
static_assert(offsetof(PipeRecord, body) == 4);
static_assert(Pipe::kMessageOffset + sizeof(LogMessage) == 550);
static_assert(Pipe::kFilterKindOffset == Pipe::kTextOffset + Pipe::kFilterFieldSize);

}  // namespace ZintarUtil
