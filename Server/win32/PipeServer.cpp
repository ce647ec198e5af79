#include "Server/win32/PipeServer.h"

#include <algorithm>
#include <memory>

#include "util/Exceptions.h"
#include "util/win32/ClientAccess.h"
#include "util/win32/SecurityDescriptors.h"
#include "util/win32/UniqueResource.h"

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

// One instance of the pipe `name`. The first instance of the service's life must be the first of
// its name: a program that created one before (any user may) would otherwise receive clients'
// requests. Windows refuses such a creation (FILE_FLAG_FIRST_PIPE_INSTANCE); Wine ignores the flag
// but reports ERROR_ALREADY_EXISTS, so both are checked.
// WRITE_DAC lets a later start give the instance its own DACL.
HANDLE CreatePipe(const std::string& name, DWORD openMode, bool first, bool strict)
{
    ZintarUtil::EveryoneSecurityAttributes attributes(ZintarUtil::ClientAccess::kPipeRights, strict);
    const DWORD flags = FILE_FLAG_OVERLAPPED | WRITE_DAC | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    // Windows need not set the error when the call succeeds: a value an earlier call left on the
    // thread (a mapping that already existed) must not read as a name held by another program.
    SetLastError(ERROR_SUCCESS);
    constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    // Closed only after a refusal's exception has taken the thread's error as its code.
    ZintarUtil::UniqueFile pipe(CreateNamedPipeA(name.c_str(), openMode | flags, kPipeMode, PIPE_UNLIMITED_INSTANCES,
                                                 PipeServer::kPipeBufferSize, PipeServer::kPipeBufferSize, 0,
                                                 attributes.GetSecurityAttributes()));
    if (first && pipe && GetLastError() == ERROR_ALREADY_EXISTS)
        throw ZintarUtil::Exceptions::ExceptionWindows("Failed to create the pipe " + name +
                                                       ", another program holds its name");
    if (first && !pipe)
        throw ZintarUtil::Exceptions::ExceptionWindows("Failed to create the pipe " + name +
                                                       ", another program may hold its name");
    return pipe.Release();
}

}  // namespace

PipeServer::PipePair::PipePair(const std::string& requestName, const std::string& replyName, bool first, bool strict)
    : request(CreatePipe(requestName, PIPE_ACCESS_INBOUND, first, strict)),
      reply(CreatePipe(replyName, PIPE_ACCESS_OUTBOUND, first, strict))
{
}

void PipeServer::PipePair::GrantAccess(const std::string& requestName, const std::string& replyName, bool strict)
{
    ZintarUtil::EveryoneSecurityAttributes attributes(ZintarUtil::ClientAccess::kPipeRights, strict);
    attributes.ApplyTo(request.Get(), requestName);
    attributes.ApplyTo(reply.Get(), replyName);
}

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
    if (listening == nullptr)
        listening = std::make_unique<PipePair>(requestPipeName, replyPipeName, true, strictAccess);
    else
        listening->GrantAccess(requestPipeName, replyPipeName, strictAccess);
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

// The pair that clients reach is always one of this server's: the next pair is made before the
// current one is let go, and the pair left when the server stops is kept for its next start, so
// no other program can take the names between two passes or during a restart.
std::uint32_t PipeServer::Run()
{
    while (!StopRequested()) {
        const std::uint32_t requestResult = Connect(listening->request.Get(), ZintarUtil::kInfinite);
        // A client that opens the request pipe and never the reply pipe (or dies between the
        // two) would hold the server here for good: it has one I/O time limit to finish.
        const std::uint32_t replyResult = IsConnected(requestResult) && !StopRequested()
                                              ? Connect(listening->reply.Get(), PipeServerHandleThread::kIoTimeout)
                                              : requestResult;
        if (StopRequested())
            return 0;
        auto next = std::make_unique<PipePair>(requestPipeName, replyPipeName, false, strictAccess);
        // Nothing is logged: the server accepts no more clients until it is started again.
        if (next->request.IsInvalid() || next->reply.IsInvalid())
            return 1;
        if (IsConnected(requestResult) && IsConnected(replyResult))
            Accept(listening->request, listening->reply);
        // This pair's ends close here; a connection keeps its own duplicates, and a half-open or
        // failed client loses its pipes.
        listening = std::move(next);
    }
    return 0;
}

std::uint32_t PipeServer::Connect(HANDLE pipe, std::uint32_t limit)
{
    OVERLAPPED* overlapped = overlap.GetOverlapped();
    ResetEvent(overlapped->hEvent);
    if (ConnectNamedPipe(pipe, overlapped))
        return 0;
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING)
        return error;
    const std::uint32_t result = overlap.Wait(limit);
    if (result == WAIT_TIMEOUT) {
        // Woken by Stop or out of time: the connect must be over before the OVERLAPPED is used again.
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
