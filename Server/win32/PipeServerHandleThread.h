// Serves one connected client: reads one request at a time from the request pipe, has the
// handler fill the reply, writes the reply to the reply pipe, and goes on until the client goes
// away, stays silent for 10 s, breaks the handler, or the server stops it. Then it tells the
// handler (which removes it from the server's list), disconnects both pipes and deletes itself.
//
// Created on the heap by PipeServer::Run and not touched by its creator after Start, except for
// Stop, which any thread may call while the connection is listed.
#pragma once

#include <cstdint>
#include <optional>

#include "Server/RequestDispatch.h"
#include "Server/win32/PipeServerMessageHandler.h"
#include "util/win32/AutoHandle.h"
#include "util/win32/Overlap.h"
#include "util/win32/Thread.h"

namespace ZintarServer {

class PipeServerHandleThread : public ZintarUtil::Threading::Thread {
public:
    static constexpr std::uint32_t kIoTimeout = 10000;  // ms for a read or a write
    static constexpr std::uint32_t kRetriedReadFailures = 11;
    // Codes outside these are answered ReplyUnknown without the handler; the handler itself
    // answers 13 so.
    static constexpr std::uint32_t kLowestHandledCode = 2;
    static constexpr std::uint32_t kHighestHandledCode = 13;

    // Keeps duplicates of both pipe ends; the handler is not owned.
    PipeServerHandleThread(const ZintarUtil::AutoHandle& requestPipe, const ZintarUtil::AutoHandle& replyPipe,
                           PipeServerMessageHandler* handler);

    // Sets the stop request and cancels a read or write wait; does not wait for the thread.
    void Stop() override;

protected:
    std::uint32_t Run() override;

private:
    enum class ReadOutcome { Success, TooLong, Gone, TimedOut, OtherFailure };

    // Serves requests until the connection ends. Every read and write is finished, or cancelled
    // and finished, before these return, so no I/O is ever outstanding on the buffers after them.
    void Serve(ZintarUtil::PipeRequest& request, ZintarUtil::PipeReply& reply);
    ReadOutcome Read(ZintarUtil::PipeRequest& request);
    bool Write(const ZintarUtil::PipeReply& reply);
    // Waits for the pending operation on `pipe`; on a time-out or a cancellation it cancels the
    // operation and waits for it to finish. True when it completed; `error` holds its result.
    bool Complete(HANDLE pipe, DWORD& error);
    // Tells the handler and disconnects both pipes: the last steps, on every way out of Run.
    void Finish();

    PipeServerMessageHandler* handler;
    // Found out from the client's token after its first request, and kept for the connection.
    std::optional<Caller> caller;
    ZintarUtil::AutoHandle requestPipe;
    ZintarUtil::AutoHandle replyPipe;
    ZintarUtil::Overlap overlap;
};

}  // namespace ZintarServer
