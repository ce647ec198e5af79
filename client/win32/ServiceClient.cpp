#include "ServiceClient.h"

namespace ZintarClient {

namespace Pipe = ZintarUtil::Pipe;
using ZintarUtil::LogMessage;
using ZintarUtil::PipeReply;
using ZintarUtil::PipeRequest;

ServiceClient::ServiceClient(std::uint32_t timeoutMs, const std::string& pipeName) : pipe(pipeName, timeoutMs) {}

PipeReply ServiceClient::Call(const PipeRequest& request, std::uint32_t expected, const char* what)
{
    const PipeReply reply = pipe.Call(request);
    ExpectReply(reply, expected, what);
    return reply;
}

std::string ServiceClient::GetFileMapName()
{
    return TextOf(Call(MakeRequest(Pipe::kGetFileMapName), Pipe::kReplyFileMapName, "GetFileMapName"));
}

void ServiceClient::Ping()
{
    Call(MakeRequest(Pipe::kPing), Pipe::kReplyPing, "Ping");
}

void ServiceClient::WriteMessage(const LogMessage& message)
{
    Call(WriteMessageRequest(message), Pipe::kReplyOk, "WriteMessage");
}

Settings ServiceClient::GetSettings()
{
    return SettingsOf(Call(MakeRequest(Pipe::kGetSettings), Pipe::kReplySettings, "GetSettings"));
}

void ServiceClient::SetSettings(const Settings& settings)
{
    Call(SetSettingsRequest(settings), Pipe::kReplyOk, "SetSettings");
}

std::string ServiceClient::GetLogFileName()
{
    return TextOf(Call(MakeRequest(Pipe::kGetLogFileName), Pipe::kReplyFileName, "GetLogFileName"));
}

void ServiceClient::SetLogFileName(const std::string& path)
{
    Call(SetLogFileNameRequest(path), Pipe::kReplyOk, "SetLogFileName");
}

std::string ServiceClient::GetDefaultLogFileName()
{
    return TextOf(Call(MakeRequest(Pipe::kGetDefaultLogFileName), Pipe::kReplyFileName, "GetDefaultLogFileName"));
}

std::vector<Filter> ServiceClient::ListFilters()
{
    std::vector<Filter> filters;
    for (std::uint32_t index = 0;; ++index) {
        const PipeReply reply = pipe.Call(GetFilterRequest(index));
        if (reply.code == Pipe::kReplyNoFilter)
            return filters;
        ExpectReply(reply, Pipe::kReplyFilter, "GetFilter");
        filters.push_back(FilterOf(reply));
    }
}

void ServiceClient::AddFilter(const Filter& filter)
{
    Call(AddFilterRequest(filter), Pipe::kReplyOk, "AddFilter");
}

void ServiceClient::ClearFilters()
{
    Call(MakeRequest(Pipe::kClearFilters), Pipe::kReplyOk, "ClearFilters");
}

}  // namespace ZintarClient
