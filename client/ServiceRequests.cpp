#include "ServiceRequests.h"

#include <cstring>

#include "Exceptions.h"
#include "TextHelpers.h"

namespace ZintarClient {

using namespace ZintarUtil;  // the pipe records and their codes
using Exceptions::ExceptionBase;

namespace {

PipeRequest TextRequest(std::uint32_t code, std::size_t fieldSize, const std::string& text, const char* what)
{
    PipeRequest request = MakeRequest(code);
    if (!request.SetText(kTextOffset, fieldSize, text))
        throw ExceptionBase(std::string(what) + " is longer than " + UIntToString(static_cast<std::uint32_t>(fieldSize - 1)) +
                            " characters");
    return request;
}

std::string ReplyName(const PipeReply& reply)
{
    switch (reply.code) {
    case kReplyTooLong:
        return "the request was too long";
    case kReplyUnknown:
        return "the service does not know the request";
    case kReplyFailed: {
        // The service says why in the reply's text; an older one left it empty.
        const std::string why = TextOf(reply);
        if (why.empty())
            return "the service could not carry it out (its diagnostic log ZintarServiceLog.txt says why)";
        return "the service could not carry it out: " + why;
    }
    case kReplyNoFilter:
        return "there is no such filter";
    default:
        return "unexpected reply code " + UIntToString(reply.code);
    }
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
    PipeRequest request = MakeRequest(kWriteMessage);
    request.SetMessage(kMessageOffset, message);
    return request;
}

PipeRequest SetSettingsRequest(const Settings& settings)
{
    PipeRequest request = MakeRequest(kSetSettings);
    request.SetU32At(kMaxMessageOffset, settings.maxMessage);
    request.SetU32At(kDevicePollRateOffset, settings.devicePollRate);
    request.SetU32At(kTypeFilterOffset, settings.typeFilter);
    request.SetU32At(kSaveRateOffset, settings.saveRate);
    return request;
}

PipeRequest SetLogFileNameRequest(const std::string& path)
{
    return TextRequest(kSetLogFileName, kPathFieldSize, path, "the log file's path");
}

PipeRequest GetFilterRequest(std::uint32_t index)
{
    PipeRequest request = MakeRequest(kGetFilter);
    request.SetU32At(kFilterIndexOffset, index);
    return request;
}

PipeRequest AddFilterRequest(const Filter& filter)
{
    PipeRequest request = TextRequest(kAddFilter, kFilterFieldSize, filter.text, "a filter");
    request.SetU32At(kFilterKindOffset, filter.include ? 1 : 0);
    return request;
}

void ExpectReply(const PipeReply& reply, std::uint32_t expected, const std::string& what)
{
    if (reply.code != expected)
        throw ExceptionBase(what + " failed: " + ReplyName(reply));
}

Settings SettingsOf(const PipeReply& reply)
{
    Settings settings{reply.U32At(kMaxMessageOffset), reply.U32At(kDevicePollRateOffset),
                      reply.U32At(kTypeFilterOffset), reply.U32At(kSaveRateOffset)};
    const std::uint32_t state = reply.U32At(kStateFlagsOffset);
    settings.logFileFallback = (state & kStateLogFileFallback) != 0;
    settings.deviceOpen = (state & kStateDeviceOpen) != 0;
    settings.logFileInUse = reply.TextAt(kLogFileInUseOffset, kLogFileInUseFieldSize).value_or("");
    return settings;
}

std::string TextOf(const PipeReply& reply)
{
    // The service always ends its texts inside their fields; a reply that does not is cut there.
    const auto* field = reinterpret_cast<const char*>(reply.body);
    return std::string(field, strnlen(field, kPathFieldSize - 1));
}

Filter FilterOf(const PipeReply& reply)
{
    const auto* field = reinterpret_cast<const char*>(reply.body);
    return {std::string(field, strnlen(field, kFilterFieldSize - 1)), reply.U32At(kFilterKindOffset) != 0};
}

}  // namespace ZintarClient
