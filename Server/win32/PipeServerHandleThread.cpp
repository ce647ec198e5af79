#include "Server/win32/PipeServerHandleThread.h"

#include "util/win32/CallerToken.h"

namespace ZintarServer {

using ZintarUtil::PipeReply;
using ZintarUtil::PipeRequest;
namespace Pipe = ZintarUtil::Pipe;

PipeServerHandleThread::PipeServerHandleThread(const ZintarUtil::AutoHandle& requestPipe,
                                               const ZintarUtil::AutoHandle& replyPipe,
                                               PipeServerMessageHandler* handler)
    : Thread("Pipe Server Handle"), handler(handler), requestPipe(requestPipe), replyPipe(replyPipe)
{
    SetAutoDelete();
}

void PipeServerHandleThread::Stop()
{
    Thread::Stop();
    overlap.Cancel();
}

std::uint32_t PipeServerHandleThread::Run()
{
    // The buffers are reused for every request of the connection and never cleared as a whole:
    // bytes a short request or the handler leave alone keep what the previous one put there.
    PipeRequest request{};
    PipeReply reply{};
    try {
        Serve(request, reply);
    } catch (...) {
        // The thread base deletes the object whatever ends Run, so the connection leaves the
        // server's list and lets its client go on this path too.
        try {
            Finish();
        } catch (...) {
        }
        throw;
    }
    Finish();
    return 0;
}

void PipeServerHandleThread::Serve(PipeRequest& request, PipeReply& reply)
{
    bool tooLong = false;
    std::uint32_t failures = 0;
    while (!StopRequested()) {
        request.code = 0;
        const ReadOutcome outcome = Read(request);
        if (StopRequested())
            return;
        switch (outcome) {
        case ReadOutcome::Gone:
        case ReadOutcome::TimedOut:
            return;
        case ReadOutcome::TooLong:
            tooLong = true;  // the rest of the message is read and dropped
            continue;
        case ReadOutcome::OtherFailure:
            if (failures >= kRetriedReadFailures)
                return;
            ++failures;
            continue;
        case ReadOutcome::Success:
            failures = 0;
            break;
        }

        bool close = false;
        if (tooLong) {
            reply.code = Pipe::kReplyTooLong;
            tooLong = false;
        } else if (request.code < kLowestHandledCode || request.code > kHighestHandledCode) {
            reply.code = Pipe::kReplyUnknown;
        } else if (handler == nullptr) {
            reply.code = Pipe::kReplyFailed;
        } else {
            reply.code = Pipe::kReplyOk;
            if (!caller)
                caller = Caller{ZintarUtil::PipeClientIsAdministrator(requestPipe.Get())};
            try {
                handler->HandleMessage(request, reply, *caller);
            } catch (...) {
                reply.code = Pipe::kReplyFailed;
                close = true;
            }
        }
        if (!Write(reply) || close)
            return;
    }
}

PipeServerHandleThread::ReadOutcome PipeServerHandleThread::Read(PipeRequest& request)
{
    DWORD error = ERROR_SUCCESS;
    if (!ReadFile(requestPipe.Get(), &request, sizeof request, nullptr, overlap.GetOverlapped())) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING && !Complete(requestPipe.Get(), error))
            return ReadOutcome::TimedOut;
    }
    switch (error) {
    case ERROR_SUCCESS:
        return ReadOutcome::Success;
    case ERROR_MORE_DATA:
        return ReadOutcome::TooLong;
    case ERROR_BROKEN_PIPE:
    case ERROR_BAD_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
        return ReadOutcome::Gone;
    default:
        return ReadOutcome::OtherFailure;
    }
}

bool PipeServerHandleThread::Write(const PipeReply& reply)
{
    DWORD error = ERROR_SUCCESS;
    if (WriteFile(replyPipe.Get(), &reply, sizeof reply, nullptr, overlap.GetOverlapped()))
        return true;
    error = GetLastError();
    return error == ERROR_IO_PENDING && Complete(replyPipe.Get(), error) && error == ERROR_SUCCESS;
}

bool PipeServerHandleThread::Complete(HANDLE pipe, DWORD& error)
{
    DWORD transferred = 0;
    const bool finished = overlap.Wait(kIoTimeout) != WAIT_TIMEOUT;
    if (!finished)
        CancelIo(pipe);
    // Waits for the operation to be over (at once when it already is) and gives its Win32 result;
    // after a cancellation it returns only once the system no longer touches the buffer.
    error = GetOverlappedResult(pipe, overlap.GetOverlapped(), &transferred, TRUE) ? ERROR_SUCCESS : GetLastError();
    return finished;
}

void PipeServerHandleThread::Finish()
{
    if (handler != nullptr)
        handler->ConnectionClosed(this);
    DisconnectNamedPipe(requestPipe.Get());
    DisconnectNamedPipe(replyPipe.Get());
}

}  // namespace ZintarServer
