#include "client/ServiceRequests.h"

#include <cstring>

#include "util/Exceptions.h"
#include "util/TextHelpers.h"
#include "util/ZintarNames.h"

namespace ZintarClient {

namespace Pipe = ZintarUtil::Pipe;
using ZintarUtil::LogMessage;
using ZintarUtil::PipeReply;
using ZintarUtil::PipeRequest;
using ZintarUtil::UIntToString;
using ZintarUtil::Exceptions::ExceptionBase;
using ZintarUtil::Exceptions::FailureKind;

namespace {

PipeRequest TextRequest(std::uint32_t code, std::size_t fieldSize, const std::string& text, const char* what)
{
    PipeRequest request = MakeRequest(code);
    if (!request.SetText(Pipe::kTextOffset, fieldSize, text))
        throw ExceptionBase(std::string(what) + " is longer than " +
                            UIntToString(static_cast<std::uint32_t>(fieldSize - 1)) + " characters");
    return request;
}

std::string ReplyName(const PipeReply& reply)
{
    switch (reply.code) {
    case Pipe::kReplyTooLong:
        return "the request was too long";
    case Pipe::kReplyUnknown:
        return "the service does not know the request";
    case Pipe::kReplyFailed: {
        // The service says why in the reply's text; an older one left it empty.
        const std::string why = TextOf(reply);
        if (why.empty())
            return std::string("the service could not carry it out (its diagnostic log ") +
                   ZintarUtil::kServiceLogName + " says why)";
        return "the service could not carry it out: " + why;
    }
    case Pipe::kReplyNoFilter:
        return "there is no such filter";
    default:
        return "unexpected reply code " + UIntToString(reply.code);
    }
}

// The service refuses a change to someone who is no administrator with one text, whole.
FailureKind KindOf(const PipeReply& reply)
{
    if (reply.code == Pipe::kReplyFailed && TextOf(reply) == Pipe::kNeedsAdministrator)
        return FailureKind::NeedsAdministrator;
    return FailureKind::Unspecified;
}

}  // namespace

PipeRequest MakeRequest(std::uint32_t code)
{
    PipeRequest request{};
    request.code = code;
    return request;
}

PipeRequest WriteMessageRequest(const LogMessage& message)
{
    PipeRequest request = MakeRequest(Pipe::kWriteMessage);
    request.SetMessage(Pipe::kMessageOffset, message);
    return request;
}

PipeRequest SetSettingsRequest(const Settings& settings)
{
    PipeRequest request = MakeRequest(Pipe::kSetSettings);
    ZintarUtil::EncodeSettings(request, settings);
    return request;
}

PipeRequest SetLogFileNameRequest(const std::string& path)
{
    return TextRequest(Pipe::kSetLogFileName, Pipe::kPathFieldSize, path, "the log file's path");
}

PipeRequest GetFilterRequest(std::uint32_t index)
{
    PipeRequest request = MakeRequest(Pipe::kGetFilter);
    request.SetU32At(Pipe::kFilterIndexOffset, index);
    return request;
}

PipeRequest AddFilterRequest(const Filter& filter)
{
    PipeRequest request = TextRequest(Pipe::kAddFilter, Pipe::kFilterFieldSize, filter.text, "a filter");
    request.SetU32At(Pipe::kFilterKindOffset, filter.include ? 1 : 0);
    return request;
}

void ExpectReply(const PipeReply& reply, std::uint32_t expected, const std::string& what)
{
    if (reply.code != expected)
        throw ExceptionBase(KindOf(reply), what + " failed: " + ReplyName(reply));
}

void ExpectReplyTo(const PipeRequest& request, const PipeReply& reply)
{
    const Pipe::RequestRow* row = Pipe::FindRequest(request.code);
    if (row == nullptr)
        throw ExceptionBase("Request code " + UIntToString(request.code) + " is not in the protocol's table");
    ExpectReply(reply, row->reply, row->name);
}

std::string TextOf(const PipeReply& reply)
{
    // The service always ends its texts inside their fields; a reply that does not is cut there.
    const auto* field = reinterpret_cast<const char*>(reply.body);
    return std::string(field, strnlen(field, Pipe::kPathFieldSize - 1));
}

Filter FilterOf(const PipeReply& reply)
{
    const auto* field = reinterpret_cast<const char*>(reply.body);
    return {std::string(field, strnlen(field, Pipe::kFilterFieldSize - 1)), reply.U32At(Pipe::kFilterKindOffset) != 0};
}

}  // namespace ZintarClient
