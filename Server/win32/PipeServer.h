// The listener of the client protocol: a thread that offers one request pipe (the client writes)
// and one reply pipe (the client reads) at a time, waits until a client has connected to both,
// and hands the pair to a new PipeServerHandleThread, which then serves that client alone.
//
// Each pass of the loop serves exactly one client, so at most one instance of each pipe is free
// at any time: a second client that opens while the first is connecting finds the pipe busy and
// tries again (WaitNamedPipe) once the next pass has created the next pair.
//
// The connections delete themselves when they end; `connections` only refers to them, and each
// removes itself through its handler's ConnectionClosed, which calls RemoveConnection.
// Start, Stop, Join and SetMessageHandler run on the owner's thread; RemoveConnection on each
// connection's thread.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "Server/win32/PipeServerHandleThread.h"
#include "Server/win32/PipeServerMessageHandler.h"
#include "util/Timeout.h"
#include "util/win32/AutoHandle.h"
#include "util/win32/Mutex.h"
#include "util/win32/Overlap.h"
#include "util/win32/Thread.h"

namespace ZintarServer {

class PipeServer : public ZintarUtil::Threading::Thread {
public:
    static constexpr std::uint32_t kPipeBufferSize = 4096;

    // `pipeName` names the request pipe; the reply pipe is the same name followed by "Reply".
    explicit PipeServer(const std::string& pipeName);
    // Stops the server and its connections and waits a bounded time for them to end.
    ~PipeServer() override;

    // Connections created from now on use `handler`. Called before Start.
    void SetMessageHandler(PipeServerMessageHandler* newHandler) { handler = newHandler; }
    // Who may use the pipes from the next Start on (StrictClientAccess): the pipes it creates get
    // the DACL, and so does the pair kept from an earlier run. Called before Start.
    void SetStrictClientAccess(bool strict) { strictAccess = strict; }

    // Clears a stop left from an earlier run and starts listening. The first start of the
    // server's life throws when another program already holds a pipe's name.
    void Start() override;
    // Asks the listener and every listed connection to end; does not wait.
    void Stop() override;
    // Waits within `timeout` until every connection has removed itself and the listener has
    // ended; true when both happened.
    bool Join(ZintarUtil::Timeout& timeout) override;

    // Drops `connection` from the list (when listed) and asks it to stop. Null is ignored.
    void RemoveConnection(PipeServerHandleThread* connection);

protected:
    // 0 after a stop request, 1 when a pipe could not be created.
    std::uint32_t Run() override;

private:
    // One instance of each pipe; its ends close with it.
    struct PipePair {
        // `first`: the first pair of the server's life, which must be the first of its names.
        // Throws then when another program holds a name; otherwise an end may be invalid.
        PipePair(const std::string& requestName, const std::string& replyName, bool first, bool strict);
        // Gives both ends the DACL of `strict`; throws ExceptionWindows naming the pipe.
        void GrantAccess(const std::string& requestName, const std::string& replyName, bool strict);
        ZintarUtil::AutoHandle request;
        ZintarUtil::AutoHandle reply;
    };

    // Connects one pipe end within `limit` ms: 0 or ERROR_PIPE_CONNECTED once a client is there,
    // 0x102 when Stop woke the wait or the time ran out, else the failure. A connect still pending
    // is cancelled and finished first.
    std::uint32_t Connect(HANDLE pipe, std::uint32_t limit);
    void Accept(const ZintarUtil::AutoHandle& requestPipe, const ZintarUtil::AutoHandle& replyPipe);

    ZintarUtil::Overlap overlap;
    std::string requestPipeName;
    std::string replyPipeName;
    PipeServerMessageHandler* handler = nullptr;
    std::list<PipeServerHandleThread*> connections;
    ZintarUtil::Mutex connectionsLock;
    // The pair clients reach now; made by the first Start, kept across stops.
    std::unique_ptr<PipePair> listening;
    // Set before Start, read by the listener's thread.
    bool strictAccess = false;
};

}  // namespace ZintarServer
