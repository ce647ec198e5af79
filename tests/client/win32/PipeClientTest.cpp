// The client never hangs on the service: a program that holds the pipes' name and never answers
// costs a request the reply limit, then a clear error.
#include "client/win32/PipeClient.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "util/Exceptions.h"
#include "util/win32/AutoHandle.h"

using ZintarUtil::AutoHandle;
using ZintarUtil::Exceptions::ExceptionWindows;

TEST(PipeClient, ASilentServerCostsTheReplyLimitThenAnError)
{
    const std::string name = "\\\\.\\pipe\\ZintarTestSilent" + std::to_string(GetCurrentProcessId());
    const auto create = [](const std::string& pipe, DWORD direction) {
        return CreateNamedPipeA(pipe.c_str(), direction, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                                4096, 0, nullptr);
    };
    AutoHandle requests, replies;
    requests.Take(create(name, PIPE_ACCESS_INBOUND));
    replies.Take(create(name + "Reply", PIPE_ACCESS_OUTBOUND));
    ASSERT_FALSE(requests.IsInvalid() || replies.IsInvalid());

    ZintarClient::PipeClient client(name, 5000, 300);  // the silent side never calls ConnectNamedPipe
    try {
        client.Call(ZintarUtil::PipeRequest{});
        ADD_FAILURE() << "a reply that never came was taken";
    } catch (const ExceptionWindows& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<std::uint32_t>(WAIT_TIMEOUT)) << e.GetFullMessage("; ");
        EXPECT_NE(e.GetFullMessage("; ").find("Failed to receive the service's reply"), std::string::npos);
    }
}
