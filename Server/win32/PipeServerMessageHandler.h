// The interface between the pipe transport and the service: the transport reads one request at a
// time from a connection and hands it, with a reply to fill, to the connection's handler.
#pragma once

#include "Server/RequestDispatch.h"
#include "util/PipeRecords.h"

namespace ZintarServer {

class PipeServerHandleThread;

class PipeServerMessageHandler {
public:
    // Fills `reply` for `request`. Called on the connection's own thread, once per request, after
    // the connection has set the reply code to ReplyOk; called by every connection at once.
    virtual void HandleMessage(const ZintarUtil::PipeRequest& request, ZintarUtil::PipeReply& reply,
                               const Caller& caller) = 0;
    // The connection's loop has ended; called on its thread as the last use of the handler.
    virtual void ConnectionClosed(PipeServerHandleThread* connection) = 0;

protected:
    ~PipeServerMessageHandler() = default;
};

}  // namespace ZintarServer
