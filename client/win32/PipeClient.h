// One client connection to the service's pipes: the request pipe, which the client writes, and
// the reply pipe, which it reads. The service serves one connecting client per pass and offers
// one free instance of each pipe at a time, so a client that finds the pipes busy waits for the
// next pass (bounded by its timeout). The service ends a connection that stays idle for 10 s.
// Every transfer is bounded too: a hung service, or a program that created an instance of the
// pipes' name and never answers, costs a client at most the reply limit, never its life.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "util/PipeRecords.h"
#include "util/ZintarNames.h"
#include "util/win32/AutoHandle.h"

namespace ZintarClient {

class PipeClient {
public:
    // Connects to `pipeName` and `pipeName` + "Reply" within `timeoutMs`. Throws ExceptionWindows
    // "Failed to connect to the service's pipe <name>", of kind ServiceUnreachable, when the service
    // does not answer in time (error 2 when it is not running, 231 when it stayed busy).
    // The service gives a read or a write 10 s; a client waits that and a margin.
    static constexpr std::uint32_t kReplyLimit = 15000;

    explicit PipeClient(const std::string& pipeName = ZintarUtil::kRequestPipeName, std::uint32_t timeoutMs = 10000,
                        std::uint32_t replyLimitMs = kReplyLimit);

    // Sends one request and returns its reply. Throws ExceptionWindows when either transfer fails
    // (the service has ended the connection, for instance), with error 258 (WAIT_TIMEOUT) when it
    // did not complete within the reply limit.
    ZintarUtil::PipeReply Call(const ZintarUtil::PipeRequest& request);

    // The raw transfers, for tools and tests that send what no well-behaved client would. Each
    // returns false with the thread's last error telling why (258 when the reply limit ran out).
    bool Send(const void* bytes, std::size_t length);
    bool Receive(ZintarUtil::PipeReply& reply);

private:
    std::uint32_t replyLimitMs;
    ZintarUtil::AutoHandle requestPipe;
    ZintarUtil::AutoHandle replyPipe;
};

}  // namespace ZintarClient
