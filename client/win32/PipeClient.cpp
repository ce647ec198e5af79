#include "client/win32/PipeClient.h"

#include <algorithm>

#include "util/Exceptions.h"
#include "util/Timeout.h"
#include "util/win32/ClientAccess.h"
#include "util/win32/Overlap.h"

namespace ZintarClient {

using ZintarUtil::Exceptions::ExceptionWindows;
using ZintarUtil::Exceptions::FailureKind;

namespace {

constexpr std::uint32_t kRetryPause = 20;  // ms between tries while the pipe does not exist yet

HANDLE OpenPipe(const std::string& name, DWORD access, ZintarUtil::Timeout& timeout)
{
    for (;;) {
        // Identification only: a program squatting on the name learns who we are but can never
        // act as us (the administrator who runs zintarctl, say).
        const HANDLE pipe =
            CreateFileA(name.c_str(), access, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE)
            return pipe;
        const DWORD error = GetLastError();
        if (timeout.Expired())
            throw ExceptionWindows(FailureKind::ServiceUnreachable, "Failed to connect to the service's pipe " + name);
        // Busy: every instance is taken until the service's next pass creates a free one. Not
        // found: the service is between its passes, starting, or not running at all.
        if (error == ERROR_PIPE_BUSY)
            WaitNamedPipeA(name.c_str(), std::max<std::uint32_t>(1, timeout.Remaining()));
        else if (error == ERROR_FILE_NOT_FOUND)
            Sleep(std::min(kRetryPause, timeout.Remaining()));
        else
            throw ExceptionWindows(FailureKind::ServiceUnreachable, "Failed to connect to the service's pipe " + name);
    }
}

// A read or a write waited for at most `limitMs`; when the time runs out the operation is
// cancelled (and waited for, so that its buffer outlives it) and WAIT_TIMEOUT left as the error.
bool Transfer(HANDLE pipe, bool write, void* bytes, DWORD length, std::uint32_t limitMs)
{
    ZintarUtil::Overlap overlap;
    OVERLAPPED* overlapped = overlap.GetOverlapped();
    const BOOL started = write ? WriteFile(pipe, bytes, length, nullptr, overlapped)
                               : ReadFile(pipe, bytes, length, nullptr, overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    DWORD done = 0;
    if (overlap.Wait(limitMs) == WAIT_TIMEOUT && !HasOverlappedIoCompleted(overlapped)) {
        CancelIo(pipe);
        GetOverlappedResult(pipe, overlapped, &done, TRUE);
        SetLastError(WAIT_TIMEOUT);
        return false;
    }
    return GetOverlappedResult(pipe, overlapped, &done, FALSE) && done == length;
}

}  // namespace

PipeClient::PipeClient(const std::string& pipeName, std::uint32_t timeoutMs, std::uint32_t replyLimitMs)
    : replyLimitMs(replyLimitMs)
{
    ZintarUtil::Timeout timeout(timeoutMs);
    // Never GENERIC_WRITE: it holds FILE_CREATE_PIPE_INSTANCE, which StrictClientAccess refuses.
    requestPipe.Take(OpenPipe(pipeName, ZintarUtil::ClientAccess::kRequestPipe, timeout));
    replyPipe.Take(OpenPipe(pipeName + "Reply", ZintarUtil::ClientAccess::kReplyPipe, timeout));
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(replyPipe.Get(), &mode, nullptr, nullptr);
}

bool PipeClient::Send(const void* bytes, std::size_t length)
{
    return Transfer(requestPipe.Get(), true, const_cast<void*>(bytes), static_cast<DWORD>(length), replyLimitMs);
}

bool PipeClient::Receive(ZintarUtil::PipeReply& reply)
{
    return Transfer(replyPipe.Get(), false, &reply, sizeof reply, replyLimitMs);
}

ZintarUtil::PipeReply PipeClient::Call(const ZintarUtil::PipeRequest& request)
{
    ZintarUtil::PipeReply reply{};
    if (!Send(&request, sizeof request))
        throw ExceptionWindows("Failed to send a request to the service");
    if (!Receive(reply))
        throw ExceptionWindows("Failed to receive the service's reply");
    return reply;
}

}  // namespace ZintarClient
