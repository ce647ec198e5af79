#include "util/http/HttpServer.h"

#include <thread>

#include <nlohmann/json.hpp>

#include "util/http/ExclusivePort.h"
#include "util/http/HttpSession.h"

namespace ZintarHttp {

using ZintarUtil::Exceptions::ExceptionBase;

template <>
struct StreamOps<beast::tcp_stream> {
    template <class Done>
    static void Handshake(beast::tcp_stream&, Done&& done)
    {
        done(beast::error_code());
    }
};

namespace {

void Accept(HttpServer::Shared* server)
{
    server->acceptor.async_accept(net::make_strand(server->io), [server](beast::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted)
            return;
        if (!error)
            server->startSession(std::move(socket));
        Accept(server);
    });
}

std::string Bracketless(const std::string& host)
{
    return host.size() > 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
}

}  // namespace

std::string ChainText(const ExceptionBase& e)
{
    std::string text = e.GetFullMessage("; ");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == ';'))
        text.pop_back();
    return text;
}

Response ErrorResponse(unsigned status, const std::string& text)
{
    Response response;
    response.status = status;
    response.body = nlohmann::json({{"error", text}}).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return response;
}

bool Cancellation::Cancelled() const
{
    std::lock_guard guard(lock);
    return cancelled;
}

void Cancellation::OnCancel(std::function<void()> cancel)
{
    std::unique_lock guard(lock);
    action = std::move(cancel);
    if (cancelled && action) {
        guard.unlock();
        action();
    }
}

void Cancellation::Clear()
{
    std::lock_guard guard(lock);
    action = nullptr;
}

void Cancellation::Cancel()
{
    // The action runs under the lock, so that Clear (and with it the end of what the action
    // touches) waits for it.
    std::lock_guard guard(lock);
    if (cancelled)
        return;
    cancelled = true;
    if (action)
        action();
}

HttpServer::HttpServer(Site& site, const ServerOptions& options) : shared(std::make_unique<Shared>(site, options))
{
    if (options.tls) {
#ifdef ZINTAR_HTTPS
        UseTls(*shared, *options.tls);
#else
        throw ExceptionBase("HTTPS is not built into this program (no OpenSSL where it was built)");
#endif
    } else {
        Shared* server = shared.get();
        shared->startSession = [server](tcp::socket socket) {
            std::make_shared<Session<beast::tcp_stream>>(beast::tcp_stream(std::move(socket)), server)->Start();
        };
    }
    const ListenAddress& address = options.listen;
    beast::error_code error;
    const net::ip::address ip = net::ip::make_address(Bracketless(address.host), error);
    const tcp::endpoint endpoint(ip, address.port);
    if (!error)
        shared->acceptor.open(endpoint.protocol(), error);
    if (!error)
        ClaimPortExclusively(shared->acceptor, error);
    if (!error)
        shared->acceptor.bind(endpoint, error);
    if (!error)
        shared->acceptor.listen(net::socket_base::max_listen_connections, error);
    if (error)
        throw ExceptionBase("Cannot listen on " + address.host + ":" + std::to_string(address.port) + ": " +
                            error.message());
    shared->port = shared->acceptor.local_endpoint().port();
}

HttpServer::~HttpServer()
{
    Stop();
    // The workers end before the connections they answer for: what a worker still hands back to
    // the network is dropped with the io_context.
    shared->workers.join();
}

std::uint16_t HttpServer::Port() const
{
    return shared->port;
}

std::string HttpServer::Url() const
{
    return std::string(shared->options.tls ? "https://" : "http://") + shared->options.listen.host + ":" +
           std::to_string(shared->port) + "/";
}

void HttpServer::Run()
{
    Accept(shared.get());
    std::thread second([this] { shared->io.run(); });
    shared->io.run();
    second.join();
}

void HttpServer::Stop()
{
    {
        std::lock_guard guard(shared->lock);
        shared->stopping = true;
        for (const auto& cancellation : shared->working)
            cancellation->Cancel();
    }
    shared->io.stop();
}

}  // namespace ZintarHttp
