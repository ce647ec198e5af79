#include "PipeServer.h"

#include <algorithm>
#include <memory>

#include "SecurityDescriptors.h"

namespace ZintarServer {

using ZintarUtil::AutoHandle;
using ZintarUtil::InfiniteTimeout;
using ZintarUtil::Mutex;
using ZintarUtil::Timeout;

namespace {

constexpr std::uint32_t kJoinPollInterval = 250;
// A destroyed server waits this long for its connections; they end within one I/O time limit of
// a stop, unless a handler call holds them.
constexpr std::uint32_t kDestructorBudget = 15000;

bool IsConnected(std::uint32_t result)
{
    return result == 0 || result == ERROR_PIPE_CONNECTED;
}

HANDLE CreatePipe(const std::string& name, DWORD openMode, SECURITY_ATTRIBUTES* attributes)
{
    return CreateNamedPipeA(name.c_str(), openMode | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                            PipeServer::kPipeBufferSize, PipeServer::kPipeBufferSize, 0, attributes);
}

}  // namespace

PipeServer::PipeServer(const std::string& pipeName)
    : Thread("Pipe Server"), requestPipeName(pipeName), replyPipeName(pipeName + "Reply")
{
}

// The owner joins the server before destroying it, so the list is empty in the normal case. A
// connection still running here is first asked to stop and given a bounded time to remove itself;
// one that is still listed after that is deleted under the lock, which ends its thread by force as
// the last resort, while no connection can be removing (and deleting) itself at the same time.
PipeServer::~PipeServer()
{
    try {
        Stop();
        Timeout budget(kDestructorBudget);
        Join(budget);
        Mutex::Access access(connectionsLock, InfiniteTimeout);
        for (PipeServerHandleThread* connection : connections)
            delete connection;
        connections.clear();
    } catch (...) {
    }
}

void PipeServer::Start()
{
    overlap.Reset();
    Thread::Start();
}

void PipeServer::Stop()
{
    Thread::Stop();
    overlap.Cancel();
    Mutex::Access access(connectionsLock, InfiniteTimeout);
    for (PipeServerHandleThread* connection : connections)
        connection->Stop();
}

bool PipeServer::Join(Timeout& timeout)
{
    bool empty = false;
    for (;;) {
        {
            // Taken without limit: a spent budget would count itself owner without having the lock,
            // and its release would let a second thread in beside a connection that is removing
            // itself. Every holder keeps the lock only for a moment.
            Mutex::Access access(connectionsLock, InfiniteTimeout);
            empty = connections.empty();
        }
        if (empty || timeout.Expired())
            break;
        Sleep(std::min(timeout.Remaining(), kJoinPollInterval));
    }
    const bool joined = Thread::Join(timeout);
    return joined && empty;
}

void PipeServer::RemoveConnection(PipeServerHandleThread* connection)
{
    if (connection == nullptr)
        return;
    {
        Mutex::Access access(connectionsLock, InfiniteTimeout);
        const auto found = std::find(connections.begin(), connections.end(), connection);
        if (found != connections.end())
            connections.erase(found);
    }
    connection->Stop();
}

std::uint32_t PipeServer::Run()
{
    while (!StopRequested()) {
        ZintarUtil::EveryoneSecurityAttributes attributes(kPipeAccess);
        const AutoHandle requestPipe(CreatePipe(requestPipeName, PIPE_ACCESS_INBOUND, attributes.GetSecurityAttributes()));
        const AutoHandle replyPipe(CreatePipe(replyPipeName, PIPE_ACCESS_OUTBOUND, attributes.GetSecurityAttributes()));
        // Nothing is logged: the server simply accepts no more clients until it is started again.
        if (requestPipe.IsInvalid() || replyPipe.IsInvalid())
            return 1;

        const std::uint32_t requestResult = Connect(requestPipe.Get());
        const std::uint32_t replyResult = Connect(replyPipe.Get());
        if (!StopRequested() && IsConnected(requestResult) && IsConnected(replyResult))
            Accept(requestPipe, replyPipe);
        // The server's own ends close here; the connection keeps its duplicates.
    }
    return 0;
}

std::uint32_t PipeServer::Connect(HANDLE pipe)
{
    OVERLAPPED* overlapped = overlap.GetOverlapped();
    ResetEvent(overlapped->hEvent);
    if (ConnectNamedPipe(pipe, overlapped))
        return 0;
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING)
        return error;
    const std::uint32_t result = overlap.Wait(ZintarUtil::kInfinite);
    if (result == WAIT_TIMEOUT) {
        // Woken by Stop: the connect must be over before the OVERLAPPED is used again.
        DWORD transferred = 0;
        CancelIo(pipe);
        GetOverlappedResult(pipe, overlapped, &transferred, TRUE);
    }
    return result;
}

void PipeServer::Accept(const AutoHandle& requestPipe, const AutoHandle& replyPipe)
{
    std::unique_ptr<PipeServerHandleThread> connection(new PipeServerHandleThread(requestPipe, replyPipe, handler));
    Mutex::Access access(connectionsLock, InfiniteTimeout);
    connections.push_back(connection.get());
    // Started under the lock: a connection that ends at once waits in RemoveConnection until it
    // is listed. From its start on it owns itself.
    try {
        connection->Start();
    } catch (...) {
        connections.pop_back();
        throw;
    }
    connection.release();
}

}  // namespace ZintarServer
