// The web server under `zintarctl web` and `zintar-fleet web`: Boost.Beast over Boost.Asio, on one
// address, answering GET alone and only requests whose Host header names it (HttpAddress.h). What
// it serves is a Site's: a page, JSON, a download or an event stream.
//
// Threads: the network runs on the thread that calls Run and one more; a Site's Answer runs on a
// pool of `workers` threads, so that a slow answer (a status while a service hangs, a search over
// months of a fleet) holds up no other request and no stream. While an answer is being made the
// server watches its connection: a client that goes away (a closed tab, an aborted fetch) cancels
// it through its Cancellation, which a Site hands to whatever can stop the work. An event stream's
// Poll runs on the network threads, every `streamPoll`, and must not block.
//
//   MySite site;
//   HttpServer server(site, {{"127.0.0.1", 8080}, "zintarctl"});
//   std::cout << server.Url();
//   server.Run();                     // until server.Stop() from another thread
//
// HTTPS: a server given a certificate and key (TlsFiles) speaks TLS on every connection; it is
// built only where OpenSSL is (HttpsServer.cpp, natively), and elsewhere refuses to start with
// TLS asked for.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "util/Exceptions.h"
#include "util/http/HttpAddress.h"

namespace ZintarHttp {

struct Request {
    std::string path;           // "/api/messages"
    std::string query;          // what follows '?', undecoded
    std::string authorization;  // the Authorization header, "" when none
    std::string peer;           // the client's address
};

struct Response {
    unsigned status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::string download;                                      // a file name: sent as an attachment
    std::vector<std::pair<std::string, std::string>> headers;  // more, e.g. WWW-Authenticate
};

// A failure's whole chain on one line, as an error response says it.
std::string ChainText(const ZintarUtil::Exceptions::ExceptionBase& e);

// The text of a response with a JSON body {"error": text}.
Response ErrorResponse(unsigned status, const std::string& text);

// The connection's end, as the answer being made sees it. Cancel may come from a network thread
// at any time, once; what was registered by OnCancel runs then (or at once, when it already came).
class Cancellation {
public:
    bool Cancelled() const;
    // Registers what stops the work; the previous one is replaced. Clear before the work's owner
    // goes (CancelScope does both).
    void OnCancel(std::function<void()> cancel);
    void Clear();
    void Cancel();

private:
    mutable std::mutex lock;
    std::function<void()> action;
    bool cancelled = false;
};

// Registers `cancel` for the scope's lifetime.
class CancelScope {
public:
    CancelScope(Cancellation& cancellation, std::function<void()> cancel) : cancellation(cancellation)
    {
        cancellation.OnCancel(std::move(cancel));
    }
    ~CancelScope() { cancellation.Clear(); }
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

private:
    Cancellation& cancellation;
};

// A response that lasts: "text/event-stream" events for as long as the client keeps the connection.
class EventStream {
public:
    virtual ~EventStream() = default;
    // Called on a network thread: the first time at once, then every streamPoll. The events to send
    // now (StreamEvent's text), or "" for none.
    virtual std::string Poll() = 0;
};

// What the server serves.
struct Answer {
    Response response;
    std::unique_ptr<EventStream> stream;  // set: the connection becomes this stream
};

class Site {
public:
    virtual ~Site() = default;
    // Called on a worker thread for every GET that named the server. It may take long; a client that
    // goes away cancels `cancellation`. A UsageError thrown is answered 400, an ExceptionBase 503,
    // any other std::exception 500, each with {"error": text}.
    virtual Answer Serve(const Request& request, Cancellation& cancellation) = 0;
};

// The certificate chain and private key of an HTTPS server, PEM files.
struct TlsFiles {
    std::string certificate, key;
};

struct ServerOptions {
    ListenAddress listen;
    std::string name;  // the Server header, and the refusals' wording
    int workers = 2;
    std::chrono::milliseconds streamPoll{100};
    std::optional<TlsFiles> tls;
};

class HttpServer {
public:
    // Listens on options.listen at once (port 0: a free port). Throws Exceptions::ExceptionBase
    // when the address cannot be had, or the certificate and key cannot be used.
    HttpServer(Site& site, const ServerOptions& options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    std::uint16_t Port() const;
    // "http://127.0.0.1:8080/" or "https://..."
    std::string Url() const;

    // Serves on the calling thread and one more until Stop is called (from any thread).
    void Run();
    // Ends the serving and cancels every answer being made.
    void Stop();

    struct Shared;  // what the connections share

private:
    std::unique_ptr<Shared> shared;
};

}  // namespace ZintarHttp
