#include "ServiceClient.h"

namespace ZintarClient {

using namespace ZintarUtil;  // the pipe records and their codes

ServiceClient::ServiceClient(std::uint32_t timeoutMs, const std::string& pipeName) : pipe(pipeName, timeoutMs) {}

PipeReply ServiceClient::Call(const PipeRequest& request, std::uint32_t expected, const char* what)
{
    const PipeReply reply = pipe.Call(request);
    ExpectReply(reply, expected, what);
    return reply;
}

std::string ServiceClient::GetFileMapName()
{
    return TextOf(Call(MakeRequest(kGetFileMapName), kReplyFileMapName, "GetFileMapName"));
}

void ServiceClient::Ping()
{
    Call(MakeRequest(kPing), kReplyPing, "Ping");
}

void ServiceClient::WriteMessage(const LogMessage& message)
{
    Call(WriteMessageRequest(message), kReplyOk, "WriteMessage");
}

Settings ServiceClient::GetSettings()
{
    return SettingsOf(Call(MakeRequest(kGetSettings), kReplySettings, "GetSettings"));
}

void ServiceClient::SetSettings(const Settings& settings)
{
    Call(SetSettingsRequest(settings), kReplyOk, "SetSettings");
}

std::string ServiceClient::GetLogFileName()
{
    return TextOf(Call(MakeRequest(kGetLogFileName), kReplyFileName, "GetLogFileName"));
}

void ServiceClient::SetLogFileName(const std::string& path)
{
    Call(SetLogFileNameRequest(path), kReplyOk, "SetLogFileName");
}

std::string ServiceClient::GetDefaultLogFileName()
{
    return TextOf(Call(MakeRequest(kGetDefaultLogFileName), kReplyFileName, "GetDefaultLogFileName"));
}

std::vector<Filter> ServiceClient::ListFilters()
{
    std::vector<Filter> filters;
    for (std::uint32_t index = 0;; ++index) {
        const PipeReply reply = pipe.Call(GetFilterRequest(index));
        if (reply.code == kReplyNoFilter)
            return filters;
        ExpectReply(reply, kReplyFilter, "GetFilter");
        filters.push_back(FilterOf(reply));
    }
}

void ServiceClient::AddFilter(const Filter& filter)
{
    Call(AddFilterRequest(filter), kReplyOk, "AddFilter");
}

void ServiceClient::ClearFilters()
{
    Call(MakeRequest(kClearFilters), kReplyOk, "ClearFilters");
}

}  // namespace ZintarClient
