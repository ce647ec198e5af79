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

#include "util/LogFileFormat.h"

namespace ZintarUtil {

constexpr std::size_t kPipeRecordSize = 1028;
constexpr std::size_t kPipeBodySize = kPipeRecordSize - 4;

// The codes of requests and replies and where their fields lie: the protocol's own names, used
// as Pipe::kPing, Pipe::kTextOffset.
namespace Pipe {

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

// Who may have a request carried out. The service admits everyone to a request for
// Administrators when the site has let every local user change it (Server/RequestDispatch.h).
enum class Senders { AnyLocalUser, Administrators };

// Every request of the protocol, one row each: its name, its code (Pipe::k<name>), the reply that
// answers it when it is carried out, and who may send it. The service's dispatch hands a request
// to the handler of its name (Server/RequestDispatch.cpp) once the sender is admitted; a client
// checks the reply against the row and names the request in its errors. A new request is a row
// here and its handler there.
#define ZINTAR_PIPE_REQUESTS(REQUEST)                                                                                  \
    REQUEST(GetFileMapName, 2, kReplyFileMapName, AnyLocalUser)                                                        \
    REQUEST(WriteMessage, 3, kReplyOk, AnyLocalUser)                                                                   \
    REQUEST(Ping, 4, kReplyPing, AnyLocalUser)                                                                         \
    REQUEST(GetSettings, 5, kReplySettings, AnyLocalUser)                                                              \
    REQUEST(SetSettings, 6, kReplyOk, Administrators)                                                                  \
    REQUEST(GetLogFileName, 7, kReplyFileName, AnyLocalUser)                                                           \
    REQUEST(SetLogFileName, 8, kReplyOk, Administrators)                                                               \
    REQUEST(GetFilter, 9, kReplyFilter, AnyLocalUser)                                                                  \
    REQUEST(ClearFilters, 10, kReplyOk, Administrators)                                                                \
    REQUEST(AddFilter, 11, kReplyOk, Administrators)                                                                   \
    REQUEST(GetDefaultLogFileName, 12, kReplyFileName, AnyLocalUser)

enum RequestCode : std::uint32_t {
#define ZINTAR_PIPE_REQUEST_CODE(name, code, reply, senders) k##name = code,
    ZINTAR_PIPE_REQUESTS(ZINTAR_PIPE_REQUEST_CODE)
#undef ZINTAR_PIPE_REQUEST_CODE
};

struct RequestRow {
    std::uint32_t code;
    const char* name;
    std::uint32_t reply;
    Senders senders;
};

inline constexpr RequestRow kRequests[] = {
#define ZINTAR_PIPE_REQUEST_ROW(name, code, reply, senders) {code, #name, reply, Senders::senders},
    ZINTAR_PIPE_REQUESTS(ZINTAR_PIPE_REQUEST_ROW)
#undef ZINTAR_PIPE_REQUEST_ROW
};

// The row of `code`, or nullptr when the protocol has no such request.
constexpr const RequestRow* FindRequest(std::uint32_t code)
{
    for (const RequestRow& row : kRequests)
        if (row.code == code)
            return &row;
    return nullptr;
}

// The refusal of a request for Administrators to anyone else, which its ReplyFailed carries as
// its whole text: the client knows the refusal by it.
inline constexpr char kNeedsAdministrator[] =
    "Changing the service's settings, filters or log file needs an administrator (an elevated console)";

// Offsets into the record (the code is at 0).
constexpr std::size_t kMessageOffset = 4;     // WriteMessage: one LogMessage
constexpr std::size_t kMaxMessageOffset = 4;  // SetSettings and ReplySettings
constexpr std::size_t kDevicePollRateOffset = 8;
constexpr std::size_t kTypeFilterOffset = 12;
constexpr std::size_t kSaveRateOffset = 16;
constexpr std::size_t kTextOffset = 4;          // every text field starts here
constexpr std::size_t kFilterIndexOffset = 4;   // GetFilter
constexpr std::size_t kFilterKindOffset = 132;  // AddFilter and ReplyFilter
// ReplySettings also says what the service runs on (codes 2 to 12 stay as they are, so no new
// request is needed): state flags, then the path of the log file in use.
constexpr std::size_t kStateFlagsOffset = 20;
constexpr std::size_t kLogFileInUseOffset = 24;
constexpr std::size_t kLogFileInUseFieldSize = kPipeRecordSize - kLogFileInUseOffset;  // 1004
constexpr std::uint32_t kStateLogFileFallback = 1;     // LogFile could not be used: the default is
constexpr std::uint32_t kStateDeviceOpen = 2;          // the Zintar device is open
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
