// `zintarctl web`: the log as a live page in the browser. Serves one page (embedded in the
// program; it needs nothing from outside) and a small read-only JSON API:
//   GET /                the page
//   GET /api/messages    the selection of `read` (n, since, until, type, text, grep, utc) as a JSON
//                        array, or with format=csv or format=jsonl as a download
//   GET /api/status      the service's state, settings and the log's figures
//   GET /api/stream      server-sent events: "snapshot" (the newest n stored messages, as JSON),
//                        then "messages" as they arrive, "missed" (a count) and "problem" (a text
//                        when the log cannot be read, an empty one when it can again)
// Requests that do not name the server by its own address in their Host header are refused. The
// HTTP is the shared server's (util/http/HttpServer.h); this is what it serves.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/zintarctl/LogSource.h"
#include "tools/zintarctl/WebRequests.h"
#include "util/http/HttpServer.h"

namespace ZintarCtl {

class WebServer {
public:
    // Listens on `address` at once (port 0: a free port). Throws Exceptions::ExceptionBase when the
    // address cannot be had.
    WebServer(LogSource& log, const ListenAddress& address);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    std::uint16_t Port() const;
    // "http://127.0.0.1:8080/"
    std::string Url() const;

    // Serves on the calling thread and one more until Stop is called (from any thread).
    void Run();
    void Stop();

private:
    class Viewer;
    std::unique_ptr<Viewer> viewer;
    std::unique_ptr<ZintarHttp::HttpServer> server;
};

// The page: HTML with its style and script, from web/viewer.html.
extern const char kViewerPage[];

}  // namespace ZintarCtl
