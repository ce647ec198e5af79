// `zintar-fleet web`: the fleet's page (web/fleet.html, compiled in) and its JSON API over the
// collector's store, on the shared web server (util/http/HttpServer.h):
//   GET /              the page
//   GET /api/hosts     every machine with its figures and state, as `hosts` judges them
//   GET /api/messages  a page of the selection (host, since, until, type, grep, utc), newest first:
//                      n rows (at most 1000), older ones by `before`, all up to the first page's
//                      `upto`; format=csv or jsonl: the same as a download in `read`'s shapes
//   GET /api/chart     messages per minute (hour, day for long ranges) and type over the
//                      selection's range (the last hour by default), by=host for a row per host
//   GET /api/live      server-sent events: "rows" (each selected row stored after `after`, once,
//                      in the order stored), "reload" (the page is too far behind to be caught up)
//                      and "problem"
//
// Reading never holds up the collector's intake: each request runs on a connection of its own
// as zintar_reader, read-only, within a statement timeout, and a client that goes away cancels its
// query on the server (PQcancel). The live mode costs one query a quarter second whatever the
// number of pages open: one follower reads every new row, and each page's stream picks its own out
// of what that follower keeps.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "tools/zintar-fleet/FleetUsers.h"
#include "util/http/HttpServer.h"

namespace ZintarFleet {

struct WebOptions {
    std::string db;  // conninfo
    ZintarHttp::ListenAddress listen{"127.0.0.1", 8090};
    std::chrono::seconds statementTimeout{15};
    std::chrono::seconds quietAfter{15 * 60};
    std::chrono::milliseconds livePoll{250};
    int workers = 4;
    // Beyond loopback: HTTPS with these files, and a login against these users.
    std::optional<ZintarHttp::TlsFiles> tls;
    std::optional<UserFile> users;
};

// Why `options` may not be served, or "" when they may: an address beyond loopback needs HTTPS
// and a user file.
std::string RefusalOf(const WebOptions& options);

class FleetWeb {
public:
    // Connects once to check the database and starts the live follower; listens at once. Throws
    // DatabaseError or ExceptionBase.
    explicit FleetWeb(const WebOptions& options);
    ~FleetWeb();

    std::uint16_t Port() const;
    std::string Url() const;
    // Serves until Stop (from any thread).
    void Run();
    void Stop();

    class Site;

private:
    std::unique_ptr<Site> site;
    std::unique_ptr<ZintarHttp::HttpServer> server;
};

// The page: HTML with its style and script, from web/fleet.html.
extern const char kFleetPage[];

}  // namespace ZintarFleet
