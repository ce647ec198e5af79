#include "tools/zintarctl/WebServer.h"

#include <chrono>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include "tools/zintarctl/ExclusivePort.h"
#include "tools/zintarctl/MessageOutput.h"
#include "util/Exceptions.h"
#include "util/UsageError.h"

namespace ZintarCtl {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

constexpr auto kRequestTimeout = std::chrono::seconds(60);  // an idle kept-alive connection is closed
constexpr auto kStreamPoll = std::chrono::milliseconds(100);
constexpr auto kStreamKeepAlive = std::chrono::seconds(15);  // a comment, so that a gone client shows
constexpr std::uint32_t kDefaultStreamLines = 10;

using Response = http::response<http::string_body>;

// A failure's whole chain on one line.
std::string ChainText(const ExceptionBase& e)
{
    std::string text = e.GetFullMessage("; ");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == ';'))
        text.pop_back();
    return text;
}

}  // namespace

struct WebServer::Shared {
    Shared(LogSource& log, const ListenAddress& listen) : log(log), listen(listen), acceptor(io) {}

    LogSource& log;
    ListenAddress listen;
    net::io_context io;
    tcp::acceptor acceptor;
    std::uint16_t port = 0;
};

namespace {

// One connection: requests answered in turn, until it closes or turns into an event stream.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, WebServer::Shared* server)
        : stream(std::move(socket)), server(server), timer(stream.get_executor())
    {
    }

    void Start()
    {
        net::dispatch(stream.get_executor(), [self = shared_from_this()] { self->ReadRequest(); });
    }

private:
    void ReadRequest()
    {
        request = {};
        stream.expires_after(kRequestTimeout);
        http::async_read(stream, buffer, request, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (!error)
                self->Answer();
        });
    }

    void Answer()
    {
        if (!HostAllowed(request[http::field::host], server->listen, server->port))
            return Send(Plain(http::status::forbidden, "This viewer answers only requests to " + server->listen.host +
                                                           ":" + std::to_string(server->port) + ".\n"));
        if (request.method() != http::verb::get)
            return Send(Plain(http::status::method_not_allowed, "The viewer only reads: GET is all it answers.\n"));
        const std::string_view target = request.target();
        const std::size_t question = target.find('?');
        const std::string_view path = target.substr(0, question);
        const std::string_view query = question == std::string_view::npos ? "" : target.substr(question + 1);
        try {
            if (path == "/" || path == "/index.html")
                return Send(Made(http::status::ok, "text/html; charset=utf-8", kViewerPage));
            if (path == "/api/messages")
                return Send(Messages(CommandOfQuery(query)));
            if (path == "/api/status")
                return Send(
                    Made(http::status::ok, "application/json", StatusJson(server->log.Status(), server->log.Name())));
            if (path == "/api/stream")
                return StartStream(CommandOfQuery(query));
            return Send(Plain(http::status::not_found, "No such page: the viewer is at /.\n"));
        } catch (const ZintarUtil::UsageError& e) {
            return Send(Failure(http::status::bad_request, e.what()));
        } catch (const ExceptionBase& e) {
            return Send(Failure(http::status::service_unavailable, ChainText(e)));
        } catch (const std::exception& e) {
            // A regular expression too deep for the matcher, memory: this request fails, the
            // viewer goes on.
            return Send(Failure(http::status::internal_server_error, e.what()));
        }
    }

    Response Messages(const CtlCommand& command)
    {
        const std::vector<ZintarUtil::MessageRecord> records = server->log.Read(command);
        if (command.format == Format::Text)
            return Made(http::status::ok, "application/json", MessagesJson(records));
        const bool csv = command.format == Format::Csv;
        Response response = Made(http::status::ok, csv ? "text/csv; charset=utf-8" : "application/x-ndjson",
                                 MessagesDownload(records, command.format));
        response.set(http::field::content_disposition,
                     csv ? "attachment; filename=\"zintar-log.csv\"" : "attachment; filename=\"zintar-log.jsonl\"");
        return response;
    }

    Response Made(http::status status, const char* type, std::string body) const
    {
        Response response(status, request.version());
        response.set(http::field::server, "zintarctl");
        response.set(http::field::content_type, type);
        response.set(http::field::cache_control, "no-store");
        // The page is the program's own: nothing from elsewhere, in no other site's frame.
        response.set("Content-Security-Policy",
                     "default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:; "
                     "frame-ancestors 'none'");
        response.set("X-Content-Type-Options", "nosniff");
        response.keep_alive(request.keep_alive());
        response.body() = std::move(body);
        response.prepare_payload();
        return response;
    }

    Response Plain(http::status status, std::string text) const
    {
        return Made(status, "text/plain; charset=utf-8", std::move(text));
    }

    Response Failure(http::status status, const std::string& text) const
    {
        return Made(status, "application/json", JsonLine({{"error", text}}));
    }

    void Send(Response response)
    {
        auto held = std::make_shared<Response>(std::move(response));
        http::async_write(stream, *held, [self = shared_from_this(), held](beast::error_code error, std::size_t) {
            if (error || !held->keep_alive())
                return self->Close();
            self->ReadRequest();
        });
    }

    void Close()
    {
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream.close();
    }

    // The connection becomes an event stream that lasts as long as the client keeps it.
    void StartStream(CtlCommand command)
    {
        command.last = command.last.value_or(kDefaultStreamLines);
        watch = server->log.Watch(command);
        auto header = std::make_shared<http::response<http::empty_body>>(http::status::ok, request.version());
        header->set(http::field::server, "zintarctl");
        header->set(http::field::content_type, "text/event-stream");
        header->set(http::field::cache_control, "no-store");
        header->keep_alive(false);  // the body ends when the connection does
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*header);
        stream.expires_never();
        http::async_write_header(stream, *serializer,
                                 [self = shared_from_this(), header, serializer](beast::error_code error, std::size_t) {
                                     if (error)
                                         return self->Close();
                                     self->WatchForHangUp();
                                     self->Poll();
                                 });
    }

    // The client says nothing more on a stream: anything it sends, or its closing, ends it.
    void WatchForHangUp()
    {
        stream.async_read_some(net::buffer(hangUp), [self = shared_from_this()](beast::error_code, std::size_t) {
            self->closed = true;
            self->timer.cancel();
            self->Close();
        });
    }

    void Poll()
    {
        if (closed)
            return;
        std::string events, problem;
        try {
            const std::vector<ZintarUtil::MessageRecord> records = watch->Poll();
            if (!snapshotSent || !records.empty())
                events += StreamEvent(snapshotSent ? "messages" : "snapshot", MessagesJson(records));
            snapshotSent = true;
            if (const std::uint64_t missed = watch->TakeMissed())
                events += StreamEvent("missed", std::to_string(missed));
        } catch (const ExceptionBase& e) {
            problem = ChainText(e);
        } catch (const std::exception& e) {
            problem = e.what();
        }
        // A problem is told once, not at every poll while it lasts, and its end is told as an
        // empty problem.
        if (problem != lastProblem)
            events += StreamEvent("problem", JsonLine(problem));
        lastProblem = problem;
        const auto now = std::chrono::steady_clock::now();
        if (events.empty() && now - lastWrite >= kStreamKeepAlive)
            events = ": still here\n\n";
        if (events.empty())
            return WaitForNextPoll();
        lastWrite = now;
        pending = std::move(events);
        net::async_write(stream, net::buffer(pending),
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             if (error)
                                 return self->Close();
                             self->WaitForNextPoll();
                         });
    }

    void WaitForNextPoll()
    {
        timer.expires_after(kStreamPoll);
        timer.async_wait([self = shared_from_this()](beast::error_code error) {
            if (error || self->closed)
                return;
            self->watch->LetGoIfStopped();
            self->Poll();
        });
    }

    beast::tcp_stream stream;
    WebServer::Shared* server;  // outlives every session: its io_context destroys them
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    // the event stream
    net::steady_timer timer;
    std::unique_ptr<MessageWatch> watch;
    std::string pending;
    char hangUp[64];
    std::string lastProblem;
    bool snapshotSent = false;
    bool closed = false;
    std::chrono::steady_clock::time_point lastWrite = std::chrono::steady_clock::now();
};

void Accept(WebServer::Shared* server)
{
    server->acceptor.async_accept(net::make_strand(server->io), [server](beast::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted)
            return;
        if (!error)
            std::make_shared<Session>(std::move(socket), server)->Start();
        Accept(server);
    });
}

std::string Bracketless(const std::string& host)
{
    return host.size() > 2 && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
}

}  // namespace

WebServer::WebServer(LogSource& log, const ListenAddress& address) : shared(std::make_unique<Shared>(log, address))
{
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

WebServer::~WebServer()
{
    Stop();
}

std::uint16_t WebServer::Port() const
{
    return shared->port;
}

std::string WebServer::Url() const
{
    return "http://" + shared->listen.host + ":" + std::to_string(shared->port) + "/";
}

void WebServer::Run()
{
    Accept(shared.get());
    // A second thread, so that one slow answer (a status while the service hangs) holds up no other.
    std::thread second([this] { shared->io.run(); });
    shared->io.run();
    second.join();
}

void WebServer::Stop()
{
    shared->io.stop();
}

}  // namespace ZintarCtl
