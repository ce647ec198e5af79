#include "tools/zintar-forward/win32/SocketConnection.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "tools/zintar-forward/ConnectBudget.h"
#include "util/Exceptions.h"
#include "util/SystemError.h"
#include "util/TextHelpers.h"
#include "util/Timeout.h"
#include "util/win32/UniqueSocket.h"

namespace ZintarForward {

using ZintarUtil::kInfinite;
using ZintarUtil::Timeout;
using ZintarUtil::UniqueAddressList;
using ZintarUtil::UniqueSocket;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

constexpr std::size_t kReceiveChunk = 32 * 1024;
constexpr std::size_t kLargestSend = 1024 * 1024;
const std::string kSendFailed = "Failed to send to the collector";
const std::string kReceiveFailed = "Failed to receive from the collector";

// Started on first use and kept until the process ends: a failed start is retried by the next
// connection attempt, because a static whose constructor throws is built again next time.
class WinsockSession {
public:
    WinsockSession()
    {
        WSADATA data;
        const int result = WSAStartup(MAKEWORD(2, 2), &data);
        if (result != 0)
            throw ExceptionBase("Failed to start Winsock: " + SystemErrorClause(result));
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    ~WinsockSession() { WSACleanup(); }
};

void StartWinsockOnce()
{
    static const WinsockSession session;
}

enum class Wait { Read, Write };

struct SocketState {
    bool ready = false;   // readable or writable, as asked
    bool failed = false;  // only for Write: a connect that did not succeed shows here, not as writable
};

// One select() on one socket. Throws ExceptionBase "<failure>: <reason>" when select itself fails.
SocketState SelectOnce(SOCKET socket, Wait wait, std::uint32_t milliseconds, const std::string& failure)
{
    fd_set wanted;
    fd_set errors;
    FD_ZERO(&wanted);
    FD_ZERO(&errors);
    FD_SET(socket, &wanted);
    FD_SET(socket, &errors);
    timeval limit{static_cast<long>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000};
    const bool reading = wait == Wait::Read;
    const int result = select(0, reading ? &wanted : nullptr, reading ? nullptr : &wanted, reading ? nullptr : &errors,
                              milliseconds == kInfinite ? nullptr : &limit);
    if (result == SOCKET_ERROR)
        throw ExceptionBase(failure + ": " + SystemErrorClause(WSAGetLastError()));
    return {FD_ISSET(socket, &wanted) != 0, !reading && FD_ISSET(socket, &errors) != 0};
}

// How a wait treats the stop: a connect ends at it, an open connection's wait has the grace.
enum class AtStop { End, Grace };

[[noreturn]] void ThrowStopping(const std::string& failure)
{
    throw ExceptionBase(failure + ": " + kStoppingClause);
}

// Waits within `milliseconds` for the socket, in slices that look at the stop between them.
// Throws ExceptionBase "<failure>: the forwarder is stopping" once the stop ends the wait.
SocketState WaitForSocket(SOCKET socket, Wait wait, std::uint32_t milliseconds, const std::string& failure,
                          StopLimit* stop, AtStop atStop)
{
    if (stop == nullptr)
        return SelectOnce(socket, wait, milliseconds, failure);
    Timeout budget(milliseconds);
    for (;;) {
        if (atStop == AtStop::End ? stop->Stopped() : stop->GraceOver())
            ThrowStopping(failure);
        const std::uint32_t allowed = stop->Allowed(budget.Remaining());
        const SocketState state = SelectOnce(socket, wait, std::min(allowed, StopLimit::kStopSliceMs), failure);
        if (state.ready || state.failed || budget.Expired())
            return state;
    }
}

// getaddrinfo on a thread of its own, so that a lookup that hangs (a DNS server that never
// answers) holds neither a stop nor the connect budget. The thread keeps the lookup alive until
// it ends, whoever still waits for it.
struct Lookup {
    Lookup(std::string host, std::string port) : host(std::move(host)), port(std::move(port)) {}
    const std::string host;
    const std::string port;
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    int result = 0;
    UniqueAddressList addresses;
};

std::shared_ptr<Lookup> StartLookup(const std::string& host, const std::string& port, const std::string& failure)
{
    static std::mutex pendingLock;
    static std::shared_ptr<Lookup> pending;  // the last one started, perhaps still under way
    const std::lock_guard<std::mutex> hold(pendingLock);
    if (pending && pending->host == host && pending->port == port) {
        const std::lock_guard<std::mutex> holdLookup(pending->lock);
        if (!pending->done)
            return pending;
    }
    auto lookup = std::make_shared<Lookup>(host, port);
    try {
        std::thread([lookup] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_protocol = IPPROTO_TCP;
            UniqueAddressList found;
            const int result = getaddrinfo(lookup->host.c_str(), lookup->port.c_str(), &hints, found.Put());
            const std::lock_guard<std::mutex> holdLookup(lookup->lock);
            lookup->result = result;
            lookup->addresses = std::move(found);
            lookup->done = true;
            lookup->ended.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        throw ExceptionBase(failure + ": the name lookup could not be started");
    }
    pending = lookup;
    return lookup;
}

std::string EndpointText(const std::string& host, const std::string& port)
{
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + port;
}

// The lookup's answer within `budget`, unless the stop comes first.
UniqueAddressList Resolve(const std::string& host, const std::string& port, const std::string& failure, Timeout& budget,
                          std::uint32_t timeoutMs, StopLimit* stop)
{
    const std::shared_ptr<Lookup> lookup = StartLookup(host, port, failure);
    std::unique_lock<std::mutex> hold(lookup->lock);
    while (!lookup->done) {
        if (stop != nullptr && stop->Stopped())
            ThrowStopping(failure);
        if (budget.Expired())
            throw ExceptionBase(failure + ": the name lookup gave no answer within " + DurationText(timeoutMs));
        const std::uint32_t slice = std::min(budget.Remaining(), StopLimit::kStopSliceMs);
        lookup->ended.wait_for(hold, std::chrono::milliseconds(slice));
    }
    const int result = lookup->result;
    UniqueAddressList addresses = std::move(lookup->addresses);
    if (result == WSATYPE_NOT_FOUND)
        throw ExceptionBase(failure + ": the port is neither a number nor a known service");
    if (result != 0 || !addresses)
        throw ExceptionBase(failure + ": the name cannot be resolved");
    return addresses;
}

// Connects to one address within `shareMs`; an empty socket and `reason` when it did not.
UniqueSocket ConnectOne(const addrinfo& address, std::uint32_t shareMs, StopLimit* stop, std::string& reason)
{
    UniqueSocket socket(::socket(address.ai_family, address.ai_socktype, address.ai_protocol));
    u_long nonBlocking = 1;
    if (!socket || ioctlsocket(socket.Get(), FIONBIO, &nonBlocking) != 0) {
        reason = SystemErrorClause(WSAGetLastError());
        return {};
    }
    if (connect(socket.Get(), address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0)
        return socket;
    int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
        reason = SystemErrorClause(error);
        return {};
    }
    const std::string failure = "Failed to wait for the connection";
    const SocketState state = WaitForSocket(socket.Get(), Wait::Write, shareMs, failure, stop, AtStop::End);
    if (!state.ready && !state.failed) {
        reason = "no answer within " + DurationText(shareMs);
        return {};
    }
    int length = sizeof error;
    if (getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        error = WSAGetLastError();
    if (error != 0 || state.failed) {
        reason = SystemErrorClause(error != 0 ? error : WSAECONNREFUSED);
        return {};
    }
    return socket;
}

class SocketConnection final : public Connection {
public:
    SocketConnection(UniqueSocket connected, std::shared_ptr<StopLimit> stop)
        : socket(std::move(connected)), stop(std::move(stop))
    {
        // Callers hand over whole batches at once, so Nagle's delay would only hold back the last
        // segment of each batch and the small requests of a windowed protocol.
        const BOOL noDelay = TRUE;
        setsockopt(socket.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    }

    void Send(std::string_view bytes, std::uint32_t timeoutMs) override
    {
        RequireOpen(kSendFailed);
        Timeout budget(timeoutMs);
        while (!bytes.empty()) {
            const auto length = static_cast<int>(std::min(bytes.size(), kLargestSend));
            const int sent = send(socket.Get(), bytes.data(), length, 0);
            if (sent != SOCKET_ERROR) {
                bytes.remove_prefix(static_cast<std::size_t>(sent));
                continue;
            }
            const int error = WSAGetLastError();
            if (error != WSAEWOULDBLOCK)
                throw ExceptionBase(kSendFailed + ": " + SystemErrorClause(error));
            if (!WaitForSocket(socket.Get(), Wait::Write, budget.Remaining(), kSendFailed, stop.get(), AtStop::Grace)
                     .ready)
                throw ExceptionBase(kSendFailed + ": no room within " + DurationText(timeoutMs));
        }
    }

    std::string Receive(std::uint32_t timeoutMs) override
    {
        RequireOpen(kReceiveFailed);
        if (!WaitForSocket(socket.Get(), Wait::Read, timeoutMs, kReceiveFailed, stop.get(), AtStop::Grace).ready)
            return {};
        std::string bytes(kReceiveChunk, '\0');
        const int received = recv(socket.Get(), bytes.data(), static_cast<int>(bytes.size()), 0);
        if (received == 0)
            throw ExceptionBase(kCollectorClosedText);
        if (received == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (error == WSAEWOULDBLOCK)
                return {};
            throw ExceptionBase(kReceiveFailed + ": " + SystemErrorClause(error));
        }
        bytes.resize(static_cast<std::size_t>(received));
        return bytes;
    }

    // Our FIN first, then the collector's: once it has closed its side, it has read everything
    // that came before ours. Whatever it still sends meanwhile is dropped.
    bool Close(std::uint32_t timeoutMs) noexcept override
    {
        if (!socket)
            return false;
        const bool clean = shutdown(socket.Get(), SD_SEND) == 0 && AwaitPeerClose(timeoutMs);
        socket.Reset();
        return clean;
    }

private:
    void RequireOpen(const std::string& failure) const
    {
        if (!socket)
            throw ExceptionBase(failure + ": the connection is closed");
    }

    bool AwaitPeerClose(std::uint32_t timeoutMs) noexcept
    {
        try {
            Timeout budget(timeoutMs);
            char discarded[4096];
            for (;;) {
                if (!WaitForSocket(socket.Get(), Wait::Read, budget.Remaining(), kReceiveFailed, stop.get(),
                                   AtStop::Grace)
                         .ready)
                    return false;
                const int received = recv(socket.Get(), discarded, sizeof discarded, 0);
                if (received == 0)
                    return true;
                if (received == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK)
                    return false;
            }
        } catch (...) {
            return false;
        }
    }

    UniqueSocket socket;
    std::shared_ptr<StopLimit> stop;  // null: the waits know no stop
};

}  // namespace

StopLimit::StopLimit(HANDLE stopEvent, std::uint32_t graceMs) : stopEvent(stopEvent), graceMs(graceMs) {}

bool StopLimit::Stopped()
{
    if (!graceEndsAt && stopEvent != nullptr && WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0)
        graceEndsAt = GetTickCount64() + graceMs;
    return graceEndsAt.has_value();
}

std::uint32_t StopLimit::Allowed(std::uint32_t wantedMs)
{
    if (!Stopped())
        return wantedMs;
    const std::uint64_t now = GetTickCount64();
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(wantedMs, *graceEndsAt > now ? *graceEndsAt - now : 0));
}

bool StopLimit::GraceOver()
{
    return Stopped() && GetTickCount64() >= *graceEndsAt;
}

std::unique_ptr<Connection> ConnectTcp(const std::string& host, const std::string& port, std::uint32_t timeoutMs,
                                       std::shared_ptr<StopLimit> stop)
{
    const std::string failure = "Failed to connect to " + EndpointText(host, port);
    StartWinsockOnce();
    Timeout budget(timeoutMs);
    const UniqueAddressList addresses = Resolve(host, port, failure, budget, timeoutMs, stop.get());
    std::size_t count = 0;
    for (const addrinfo* address = addresses.Get(); address != nullptr; address = address->ai_next)
        ++count;
    std::string reason = "no time left for an address";
    for (const addrinfo* address = addresses.Get(); address != nullptr && !budget.Expired();
         address = address->ai_next) {
        const std::uint32_t share = AddressShare(budget.Remaining(), --count);
        UniqueSocket socket = ConnectOne(*address, share, stop.get(), reason);
        if (socket)
            return std::make_unique<SocketConnection>(std::move(socket), std::move(stop));
    }
    throw ExceptionBase(failure + ": " + reason);
}

std::string AsClause(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    const bool capitalisedWord =
        text.size() > 1 && text[0] >= 'A' && text[0] <= 'Z' && text[1] >= 'a' && text[1] <= 'z';
    if (capitalisedWord)
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

std::string SystemErrorClause(std::uint32_t code)
{
    const std::string text = ZintarUtil::SystemErrorText(code);
    if (!text.starts_with("Unknown error") && !AsClause(text).empty())
        return AsClause(text);
    if (code < 0x80000000u)
        return "error " + ZintarUtil::UIntToString(code);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
    return std::string("error ") + hex;
}

std::string DurationText(std::uint32_t milliseconds)
{
    if (milliseconds % 1000 == 0)
        return ZintarUtil::UIntToString(milliseconds / 1000) + " s";
    return ZintarUtil::UIntToString(milliseconds) + " ms";
}

}  // namespace ZintarForward
