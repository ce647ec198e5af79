#include "client/win32/ServiceClient.h"

namespace ZintarClient {

namespace Pipe = ZintarUtil::Pipe;
using ZintarUtil::LogMessage;
using ZintarUtil::PipeReply;
using ZintarUtil::PipeRequest;

ServiceClient::ServiceClient(std::uint32_t timeoutMs, const std::string& pipeName) : pipe(pipeName, timeoutMs) {}

PipeReply ServiceClient::Call(const PipeRequest& request)
{
    const PipeReply reply = pipe.Call(request);
    ExpectReplyTo(request, reply);
    return reply;
}

std::string ServiceClient::GetFileMapName()
{
    return TextOf(Call(MakeRequest(Pipe::kGetFileMapName)));
}

void ServiceClient::Ping()
{
    Call(MakeRequest(Pipe::kPing));
}

void ServiceClient::WriteMessage(const LogMessage& message)
{
    Call(WriteMessageRequest(message));
}

Settings ServiceClient::GetSettings()
{
    return SettingsOf(Call(MakeRequest(Pipe::kGetSettings)));
}

void ServiceClient::SetSettings(const Settings& settings)
{
    Call(SetSettingsRequest(settings));
}

std::string ServiceClient::GetLogFileName()
{
    return TextOf(Call(MakeRequest(Pipe::kGetLogFileName)));
}

void ServiceClient::SetLogFileName(const std::string& path)
{
    Call(SetLogFileNameRequest(path));
}

std::string ServiceClient::GetDefaultLogFileName()
{
    return TextOf(Call(MakeRequest(Pipe::kGetDefaultLogFileName)));
}

std::vector<Filter> ServiceClient::ListFilters()
{
    std::vector<Filter> filters;
    for (std::uint32_t index = 0;; ++index) {
        const PipeRequest request = GetFilterRequest(index);
        const PipeReply reply = pipe.Call(request);
        if (reply.code == Pipe::kReplyNoFilter)
            return filters;
        ExpectReplyTo(request, reply);
        filters.push_back(FilterOf(reply));
    }
}

void ServiceClient::AddFilter(const Filter& filter)
{
    Call(AddFilterRequest(filter));
}

void ServiceClient::ClearFilters()
{
    Call(MakeRequest(Pipe::kClearFilters));
}

}  // namespace ZintarClient
