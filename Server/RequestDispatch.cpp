#include "Server/RequestDispatch.h"

#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/TextHelpers.h"

namespace ZintarServer {

using ZintarUtil::PipeReply;
using ZintarUtil::PipeRequest;
namespace Pipe = ZintarUtil::Pipe;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

// A request's text is read only inside its own field: one that fills its field without a NUL is
// refused (ReplyFailed) rather than read on into the bytes behind it, which belong to other
// fields or to nothing.
std::string RequestText(const PipeRequest& request, std::size_t fieldSize)
{
    std::optional<std::string> text = request.TextAt(Pipe::kTextOffset, fieldSize);
    if (!text)
        throw ExceptionBase("Failed to read the request's text, it has no NUL within its " +
                            ZintarUtil::UIntToString(static_cast<std::uint32_t>(fieldSize)) + "-byte field");
    return *text;
}

// A text longer than its reply field (a filter or a path from the registry can be) is sent cut to
// the field, NUL-terminated: a client listing the filters or showing the path still gets every
// entry, and what it gets is a true prefix of what the service holds.
void ReplyText(PipeReply& reply, std::size_t fieldSize, const std::string& text)
{
    reply.SetText(Pipe::kTextOffset, fieldSize, text);
}

// A request that would leave the service unable to work is refused before anything changes.
[[noreturn]] void Refuse(const char* request, const std::string& why)
{
    throw ExceptionBase(std::string(request) + " refused: " + why);
}

void FillSettings(PipeReply& reply, const ServiceSettings& settings, bool deviceOpen)
{
    ZintarUtil::PipeSettings reported = ReportedSettings(settings);
    reported.deviceOpen = deviceOpen;
    ZintarUtil::EncodeSettingsReply(reply, reported);
}

// Values that cannot work (a log file larger than 32 bits can address, a timer that would never
// pause) are refused before anything is stored; the rest take effect through the restart.
void StoreSettings(const ZintarUtil::PipeSettings& numbers, PipeReply& reply, ServiceSettings& settings,
                   RequestTarget& target)
{
    reply.code = Pipe::kReplyOk;
    TakeSettings(settings, numbers);
    if (settings.requestedMaxMessage == 0)
        settings.requestedMaxMessage = 1;
    target.StartRestart();
}

// Both lists form one index space: the include filters in order, then the exclude filters.
void FindFilter(const PipeRequest& request, PipeReply& reply, const ServiceSettings& settings)
{
    std::uint64_t index = request.U32At(Pipe::kFilterIndexOffset);
    const std::string* entry = nullptr;
    std::uint32_t kind = 1;
    if (index < settings.includeFilters.size()) {
        entry = &settings.includeFilters[index];
    } else {
        index -= settings.includeFilters.size();
        if (index >= settings.excludeFilters.size()) {
            reply.code = Pipe::kReplyNoFilter;
            return;
        }
        entry = &settings.excludeFilters[index];
        kind = 0;
    }
    reply.code = Pipe::kReplyFilter;
    reply.SetU32At(Pipe::kFilterKindOffset, kind);
    ReplyText(reply, Pipe::kFilterFieldSize, *entry);
}

// One handler for each request of the protocol's table (PipeRecords.h), named as the request:
// it fills the reply, or throws ExceptionBase to have the request refused.
namespace Handlers {

void GetFileMapName(const PipeRequest&, PipeReply& reply, RequestTarget&)
{
    ReplyText(reply, Pipe::kPathFieldSize, ZintarUtil::kFileMapName);
    reply.code = Pipe::kReplyFileMapName;
}

void WriteMessage(const PipeRequest& request, PipeReply& reply, RequestTarget& target)
{
    reply.code = Pipe::kReplyOk;
    target.WriteMessage(request.MessageAt(Pipe::kMessageOffset));
}

void Ping(const PipeRequest&, PipeReply& reply, RequestTarget&)
{
    reply.code = Pipe::kReplyPing;
}

void GetSettings(const PipeRequest&, PipeReply& reply, RequestTarget& target)
{
    const bool deviceOpen = target.DeviceOpen();
    target.WithSettings([&](ServiceSettings& settings) { FillSettings(reply, settings, deviceOpen); });
}

void SetSettings(const PipeRequest& request, PipeReply& reply, RequestTarget& target)
{
    const ZintarUtil::PipeSettings numbers = ZintarUtil::SettingsOf(request);
    if (auto why = RefusalOfSettings(numbers))
        Refuse("SetSettings", *why);
    target.WithSettings([&](ServiceSettings& settings) { StoreSettings(numbers, reply, settings, target); });
}

void GetLogFileName(const PipeRequest&, PipeReply& reply, RequestTarget& target)
{
    target.WithSettings([&](ServiceSettings& settings) {
        ReplyText(reply, Pipe::kPathFieldSize, settings.logFile);
        reply.code = Pipe::kReplyFileName;
    });
}

// A path that the next start could not read back or open would stop the service there.
void SetLogFileName(const PipeRequest& request, PipeReply& reply, RequestTarget& target)
{
    const std::string path = RequestText(request, Pipe::kPathFieldSize);
    if (auto why = RefusalOfLogFilePath(path))
        Refuse("SetLogFileName", *why);
    if (auto why = target.RefusalOfLogFileLocation(path))
        Refuse("SetLogFileName", *why);
    target.WithSettings([&](ServiceSettings& settings) {
        reply.code = Pipe::kReplyOk;
        settings.logFile = path;
    });
}

void GetFilter(const PipeRequest& request, PipeReply& reply, RequestTarget& target)
{
    target.WithSettings([&](ServiceSettings& settings) { FindFilter(request, reply, settings); });
}

void ClearFilters(const PipeRequest&, PipeReply& reply, RequestTarget& target)
{
    target.WithSettings([&](ServiceSettings& settings) {
        reply.code = Pipe::kReplyOk;
        settings.includeFilters.clear();
        settings.excludeFilters.clear();
    });
}

void AddFilter(const PipeRequest& request, PipeReply& reply, RequestTarget& target)
{
    const std::string filter = RequestText(request, Pipe::kFilterFieldSize);
    const bool include = request.U32At(Pipe::kFilterKindOffset) != 0;
    target.WithSettings([&](ServiceSettings& settings) {
        reply.code = Pipe::kReplyOk;
        (include ? settings.includeFilters : settings.excludeFilters).push_back(filter);
    });
}

void GetDefaultLogFileName(const PipeRequest&, PipeReply& reply, RequestTarget& target)
{
    ReplyText(reply, Pipe::kPathFieldSize, target.DefaultLogFileName());
    reply.code = Pipe::kReplyFileName;
}

}  // namespace Handlers

void Dispatch(const PipeRequest& request, PipeReply& reply, RequestTarget& target)
{
    switch (request.code) {
#define ZINTAR_PIPE_REQUEST_HANDLER(name, code, replyCode, senders)                                                    \
    case Pipe::k##name:                                                                                                \
        return Handlers::name(request, reply, target);
        ZINTAR_PIPE_REQUESTS(ZINTAR_PIPE_REQUEST_HANDLER)
#undef ZINTAR_PIPE_REQUEST_HANDLER
    default:
        reply.code = Pipe::kReplyUnknown;
    }
}

}  // namespace

bool MayCarryOut(std::uint32_t code, const Caller& caller, bool anyUserMayChange)
{
    const Pipe::RequestRow* row = Pipe::FindRequest(code);
    return row == nullptr || row->senders == Pipe::Senders::AnyLocalUser || caller.isAdministrator || anyUserMayChange;
}

void DispatchRequest(const PipeRequest& request, PipeReply& reply, RequestTarget& target, const Caller& caller)
{
    try {
        if (!MayCarryOut(request.code, caller, false)) {
            bool anyUserMayChange = false;
            target.WithSettings([&](ServiceSettings& settings) { anyUserMayChange = settings.anyUserMayChange; });
            if (!MayCarryOut(request.code, caller, anyUserMayChange))
                throw ExceptionBase(Pipe::kNeedsAdministrator);
        }
        Dispatch(request, reply, target);
    } catch (const ExceptionBase& e) {
        ZintarUtil::WriteLog("Exception thrown in message handler : " + e.GetFullMessage("\n"));
        reply.code = Pipe::kReplyFailed;
        reply.SetText(Pipe::kTextOffset, Pipe::kPathFieldSize, e.GetFullMessage(": "));
    }
}

}  // namespace ZintarServer
