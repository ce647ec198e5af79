// Inside HttpServer: one connection, over plain TCP (HttpServer.cpp) or TLS (HttpsServer.cpp). Not
// for use elsewhere. Everything a session does runs on its strand; the Site's answer runs on the
// worker pool and comes back to the strand.
//
// While an answer is made, and while an event stream runs, one read waits on the connection: its
// end (the client went away) cancels the answer or ends the stream. A request sent meanwhile
// (pipelined) stays in the buffer for the next read.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <set>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "util/Exceptions.h"
#include "util/UsageError.h"
#include "util/http/HttpServer.h"

namespace ZintarHttp {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

struct HttpServer::Shared {
    Shared(Site& site, const ServerOptions& options)
        : site(site), options(options), acceptor(io), workers(static_cast<std::size_t>(options.workers))
    {
    }

    // Answers being made, cancelled all at once by Stop.
    void Working(const std::shared_ptr<Cancellation>& c, bool on)
    {
        std::lock_guard guard(lock);
        if (on && stopping)
            c->Cancel();
        else if (on)
            working.insert(c);
        else
            working.erase(c);
    }

    Site& site;
    ServerOptions options;
    std::shared_ptr<void> tlsContext;  // outlives every session: declared before the io_context
    net::io_context io;
    tcp::acceptor acceptor;
    net::thread_pool workers;  // joined before the io_context goes
    std::uint16_t port = 0;
    std::function<void(tcp::socket)> startSession;
    std::mutex lock;
    std::set<std::shared_ptr<Cancellation>> working;
    bool stopping = false;
};

// What differs between plain TCP and TLS: the handshake before the first request.
template <class Stream>
struct StreamOps;

// Makes every session of `server` speak TLS with `files` (HttpsServer.cpp, where OpenSSL is).
void UseTls(HttpServer::Shared& server, const TlsFiles& files);

template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
public:
    static constexpr auto kRequestTimeout = std::chrono::seconds(60);   // also an idle kept-alive connection
    static constexpr auto kStreamKeepAlive = std::chrono::seconds(15);  // a comment, so that a gone client shows

    Session(Stream stream, HttpServer::Shared* server)
        : stream(std::move(stream)), server(server), timer(this->stream.get_executor())
    {
    }

    void Start()
    {
        net::dispatch(stream.get_executor(), [self = this->shared_from_this()] {
            self->Lowest().expires_after(kRequestTimeout);
            StreamOps<Stream>::Handshake(self->stream, [self](beast::error_code error) {
                if (error)
                    return self->Close();
                self->ReadRequest();
            });
        });
    }

private:
    enum class Phase { Reading, Working, Replying, Idle, Streaming };

    beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream); }

    void ReadRequest()
    {
        phase = Phase::Reading;
        request = {};
        Lowest().expires_after(kRequestTimeout);
        http::async_read(stream, buffer, request,
                         [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                             if (error)
                                 return self->Close();
                             self->Check();
                         });
    }

    void Check()
    {
        const std::string& name = server->options.name;
        if (!HostAllowed(request[http::field::host], server->options.listen, server->port))
            return Send(Plain(http::status::forbidden, name + " answers only requests to " +
                                                           server->options.listen.host + ":" +
                                                           std::to_string(server->port) + ".\n"));
        if (request.method() != http::verb::get)
            return Send(Plain(http::status::method_not_allowed, name + " only reads: GET is all it answers.\n"));
        Work();
    }

    void Work()
    {
        phase = Phase::Working;
        Request asked;
        const std::string_view target = request.target();
        const std::size_t question = target.find('?');
        asked.path = std::string(target.substr(0, question));
        asked.query = question == std::string_view::npos ? "" : std::string(target.substr(question + 1));
        asked.authorization = std::string(request[http::field::authorization]);
        beast::error_code ignored;
        asked.peer = Lowest().socket().remote_endpoint(ignored).address().to_string();
        cancellation = std::make_shared<Cancellation>();
        server->Working(cancellation, true);
        Lowest().expires_never();
        Watch();
        net::post(
            server->workers, [self = this->shared_from_this(), asked = std::move(asked), cancellation = cancellation] {
                auto answer = std::make_shared<Answer>();
                try {
                    *answer = self->server->site.Serve(asked, *cancellation);
                } catch (const ZintarUtil::UsageError& e) {
                    answer->response = ErrorResponse(400, e.what());
                } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
                    answer->response = ErrorResponse(503, ChainText(e));
                } catch (const std::exception& e) {
                    // A regular expression too deep for the matcher, memory: this request fails, the
                    // server goes on.
                    answer->response = ErrorResponse(500, e.what());
                }
                net::dispatch(self->stream.get_executor(), [self, answer] { self->Finished(std::move(*answer)); });
            });
    }

    // The one read that waits while an answer is made or a stream runs.
    void Watch()
    {
        if (watching)
            return;
        watching = true;
        stream.async_read_some(buffer.prepare(4096),
                               [self = this->shared_from_this()](beast::error_code error, std::size_t size) {
                                   self->watching = false;
                                   if (!error)
                                       self->buffer.commit(size);
                                   self->Watched(!error);
                               });
    }

    void Watched(bool sentMore)
    {
        if (phase == Phase::Streaming || !sentMore) {
            // A stream's client says nothing: anything it sends, or its going, ends the stream. A
            // client gone while its answer is made takes the work with it.
            gone = true;
            if (cancellation)
                cancellation->Cancel();
            if (phase != Phase::Working && phase != Phase::Replying)
                Close();
            return;
        }
        if (phase == Phase::Idle)
            ReadRequest();
    }

    void Finished(Answer answer)
    {
        server->Working(cancellation, false);
        cancellation.reset();
        if (gone)
            return Close();
        if (answer.stream)
            return StartStream(std::move(answer.stream));
        Send(Made(answer.response));
    }

    http::response<http::string_body> Made(const Response& r) const
    {
        http::response<http::string_body> response(static_cast<http::status>(r.status), request.version());
        response.set(http::field::server, server->options.name);
        response.set(http::field::content_type, r.contentType);
        response.set(http::field::cache_control, "no-store");
        // The page is the program's own: nothing from elsewhere, in no other site's frame.
        response.set("Content-Security-Policy",
                     "default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data:; "
                     "frame-ancestors 'none'");
        response.set("X-Content-Type-Options", "nosniff");
        if (!r.download.empty())
            response.set(http::field::content_disposition, "attachment; filename=\"" + r.download + "\"");
        for (const auto& [name, value] : r.headers)
            response.set(name, value);
        response.keep_alive(request.keep_alive());
        response.body() = r.body;
        response.prepare_payload();
        return response;
    }

    http::response<http::string_body> Plain(http::status status, std::string text) const
    {
        Response r;
        r.status = static_cast<unsigned>(status);
        r.contentType = "text/plain; charset=utf-8";
        r.body = std::move(text);
        return Made(r);
    }

    void Send(http::response<http::string_body> response)
    {
        phase = Phase::Replying;
        auto held = std::make_shared<http::response<http::string_body>>(std::move(response));
        http::async_write(stream, *held, [self = this->shared_from_this(), held](beast::error_code error, std::size_t) {
            if (error || !held->keep_alive() || self->gone)
                return self->Close();
            self->phase = Phase::Idle;
            self->Lowest().expires_after(kRequestTimeout);
            if (!self->watching)
                self->ReadRequest();
        });
    }

    void Close()
    {
        if (closed)
            return;
        closed = true;
        timer.cancel();
        beast::error_code ignored;
        Lowest().socket().shutdown(tcp::socket::shutdown_both, ignored);
        Lowest().close();
    }

    // The connection becomes an event stream that lasts as long as the client keeps it.
    void StartStream(std::unique_ptr<EventStream> source)
    {
        events = std::move(source);
        auto header = std::make_shared<http::response<http::empty_body>>(http::status::ok, request.version());
        header->set(http::field::server, server->options.name);
        header->set(http::field::content_type, "text/event-stream");
        header->set(http::field::cache_control, "no-store");
        header->keep_alive(false);  // the body ends when the connection does
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*header);
        phase = Phase::Replying;
        http::async_write_header(
            stream, *serializer,
            [self = this->shared_from_this(), header, serializer](beast::error_code error, std::size_t) {
                if (error || self->gone)
                    return self->Close();
                self->phase = Phase::Streaming;
                if (!self->watching && self->buffer.size() > 0)
                    return self->Close();  // it sent more than its request: no stream's client
                self->Watch();
                self->Poll();
            });
    }

    void Poll()
    {
        if (closed)
            return;
        std::string text;
        try {
            text = events->Poll();
        } catch (const std::exception&) {
            return Close();
        }
        const auto now = std::chrono::steady_clock::now();
        if (text.empty() && now - lastWrite >= kStreamKeepAlive)
            text = ": still here\n\n";
        if (text.empty())
            return WaitForNextPoll();
        lastWrite = now;
        pending = std::move(text);
        net::async_write(stream, net::buffer(pending),
                         [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                             if (error)
                                 return self->Close();
                             self->WaitForNextPoll();
                         });
    }

    void WaitForNextPoll()
    {
        timer.expires_after(server->options.streamPoll);
        timer.async_wait([self = this->shared_from_this()](beast::error_code error) {
            if (error || self->closed)
                return;
            self->Poll();
        });
    }

    Stream stream;
    HttpServer::Shared* server;  // outlives every session: its io_context destroys them
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    Phase phase = Phase::Reading;
    std::shared_ptr<Cancellation> cancellation;
    bool watching = false;
    bool gone = false;
    bool closed = false;
    // the event stream
    net::steady_timer timer;
    std::unique_ptr<EventStream> events;
    std::string pending;
    std::chrono::steady_clock::time_point lastWrite = std::chrono::steady_clock::now();
};

}  // namespace ZintarHttp
