#include "tools/zintar-fleet/FleetWeb.h"

#include <condition_variable>
#include <deque>
#include <iostream>
#include <thread>

#include <nlohmann/json.hpp>

#include "tools/zintar-fleet/FleetReader.h"
#include "tools/zintar-fleet/FleetWebRequests.h"

namespace ZintarFleet {

using ZintarHttp::Answer;
using ZintarHttp::Response;

namespace {

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Response Made(const char* type, std::string body)
{
    Response response;
    response.contentType = type;
    response.body = std::move(body);
    return response;
}

// Connections as zintar_reader, one for each request being answered, kept for the next.
class ConnectionPool {
public:
    ConnectionPool(std::string conninfo, std::chrono::seconds timeout) : conninfo(std::move(conninfo)), timeout(timeout)
    {
    }

    class Lease {
    public:
        Lease(ConnectionPool& pool, std::unique_ptr<Database> db) : pool(pool), db(std::move(db)) {}
        ~Lease() { pool.Return(std::move(db)); }
        Database& operator*() { return *db; }
        Database* operator->() { return db.get(); }

    private:
        ConnectionPool& pool;
        std::unique_ptr<Database> db;
    };

    Lease Take()
    {
        {
            std::lock_guard guard(lock);
            if (!idle.empty()) {
                std::unique_ptr<Database> db = std::move(idle.back());
                idle.pop_back();
                return Lease(*this, std::move(db));
            }
        }
        return Lease(*this, ConnectReader(conninfo, timeout));
    }

private:
    void Return(std::unique_ptr<Database> db)
    {
        // A broken connection, or one left inside a failed statement's transaction, is not kept.
        if (!db || !db->IsConnected())
            return;
        std::lock_guard guard(lock);
        idle.push_back(std::move(db));
    }

    std::string conninfo;
    std::chrono::seconds timeout;
    std::mutex lock;
    std::vector<std::unique_ptr<Database>> idle;
};

// Every row the store takes, read once by one follower on its own thread, and kept for a while for
// the pages' streams to pick theirs from. Entries are numbered in the order read.
class LiveFeed {
public:
    static constexpr std::size_t kKept = 50000;

    LiveFeed(const std::string& conninfo, std::chrono::seconds timeout, std::chrono::milliseconds poll)
        : conninfo(conninfo), timeout(timeout), poll(poll), db(ConnectReader(conninfo, timeout)),
          follower(*db, FleetFilter{})
    {
        follower.Start(0);
        start = follower.Cursor();
        thread = std::thread([this] { Follow(); });
    }

    ~LiveFeed()
    {
        {
            std::lock_guard guard(lock);
            stopping = true;
        }
        wake.notify_all();
        thread.join();
    }

    struct Taken {
        std::vector<FleetRow> rows;
        std::uint64_t next = 0;
        bool behind = false;  // rows after `cursor` were no longer kept
        std::string problem;
    };

    // The selected rows stored after `cursor` (updated), from entry `from` on.
    Taken Take(std::uint64_t from, StoreCursor& cursor, const RowSelection& selection)
    {
        Taken taken;
        std::lock_guard guard(lock);
        taken.problem = problem;
        taken.next = first + rows.size();
        if (cursor.messages < start.messages || cursor.gaps < start.gaps) {
            taken.behind = true;
            return taken;
        }
        for (std::uint64_t i = std::max(from, first); i < taken.next; ++i) {
            const FleetRow& row = rows[i - first];
            std::int64_t& seen = row.gap ? cursor.gaps : cursor.messages;
            if (row.id <= seen)
                continue;
            seen = row.id;
            if (selection.Selects(row))
                taken.rows.push_back(row);
        }
        return taken;
    }

private:
    void Follow()
    {
        std::unique_lock guard(lock);
        while (!wake.wait_for(guard, poll, [this] { return stopping; })) {
            guard.unlock();
            std::vector<FleetRow> fresh;
            std::string failure;
            try {
                if (!db || !db->IsConnected()) {
                    db = ConnectReader(conninfo, timeout);
                    follower.Reattach(*db);
                }
                fresh = follower.Poll();
            } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
                failure = ZintarHttp::ChainText(e);
            }
            guard.lock();
            problem = failure;
            for (FleetRow& row : fresh)
                rows.push_back(std::move(row));
            while (rows.size() > kKept) {
                // What a stream that has not caught up would need is gone: it is told to reload.
                std::int64_t& dropped = rows.front().gap ? start.gaps : start.messages;
                dropped = std::max(dropped, rows.front().id);
                rows.pop_front();
                ++first;
            }
        }
    }

    std::string conninfo;
    std::chrono::seconds timeout;
    std::chrono::milliseconds poll;
    std::unique_ptr<Database> db;  // the follower's thread's alone after the start
    FleetFollower follower;
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    std::deque<FleetRow> rows;
    std::uint64_t first = 0;  // the number of rows.front()
    StoreCursor start;        // everything up to this is before the rows kept
    std::string problem;
};

// A page's live mode.
class LiveStream : public ZintarHttp::EventStream {
public:
    LiveStream(LiveFeed& feed, const FleetCommand& selection, StoreCursor after)
        : feed(feed), selection(selection), cursor(after)
    {
    }

    std::string Poll() override
    {
        if (behind)
            return "";
        LiveFeed::Taken taken = feed.Take(next, cursor, selection);
        next = taken.next;
        std::string events;
        if (taken.behind) {
            behind = true;
            return ZintarHttp::StreamEvent("reload", "{}");
        }
        // The first poll says at once that the stream is there (a browser opens it on its first
        // bytes); every batch of rows carries the cursor after it, to go on from after a reconnect.
        if (!started)
            events = "retry: 2000\n\n";
        started = true;
        if (!taken.rows.empty())
            events += "id: " + CursorText(cursor) + "\n" + ZintarHttp::StreamEvent("rows", RowsJson(taken.rows));
        if (taken.problem != problem)
            events += ZintarHttp::StreamEvent(
                "problem",
                nlohmann::json(taken.problem).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        problem = taken.problem;
        return events;
    }

private:
    LiveFeed& feed;
    RowSelection selection;
    StoreCursor cursor;
    std::uint64_t next = 0;
    bool behind = false;
    bool started = false;
    std::string problem;
};

}  // namespace

std::string RefusalOf(const WebOptions& options)
{
    if (ZintarHttp::IsLoopbackAddress(options.listen.host))
        return "";
    if (!options.tls)
        return "beyond loopback (" + options.listen.host +
               ") the page needs HTTPS and a login: give --cert FILE --key FILE and --users FILE (made by "
               "zintar-fleet adduser NAME)";
    if (!options.users)
        return "beyond loopback the page needs a login: give --users FILE (made by zintar-fleet adduser NAME)";
    return "";
}

class FleetWeb::Site : public ZintarHttp::Site {
public:
    explicit Site(const WebOptions& options)
        : options(options), pool(options.db, options.statementTimeout),
          feed(options.db, options.statementTimeout, options.livePoll)
    {
    }

    Answer Serve(const ZintarHttp::Request& request, ZintarHttp::Cancellation& cancellation) override
    {
        try {
            return Answered(request, cancellation);
        } catch (const DatabaseError& e) {
            // The page learns what it can do about it; the server's own words, which could tell
            // the statement, go to the program's standard error.
            if (!cancellation.Cancelled())
                std::cerr << "zintar-fleet web: " << request.path << ": " << e.GetFullMessage(": ") << '\n';
            if (e.IsCancelled())
                return {ZintarHttp::ErrorResponse(503, "The question took longer than the page allows (" +
                                                           std::to_string(options.statementTimeout.count()) +
                                                           " s): choose a shorter range or fewer hosts")};
            if (e.IsConnectionLost())
                return {ZintarHttp::ErrorResponse(503, "The collector's database cannot be reached")};
            return {ZintarHttp::ErrorResponse(503, "The collector's database could not answer this question")};
        }
    }

private:
    Answer Answered(const ZintarHttp::Request& request, ZintarHttp::Cancellation& cancellation)
    {
        if (options.users && !options.users->Allows(request.authorization)) {
            Response refused = Made("text/plain; charset=utf-8", "Log in with a user of zintar-fleet adduser.\n");
            refused.status = 401;
            refused.headers.emplace_back("WWW-Authenticate", "Basic realm=\"zintar-fleet\", charset=\"UTF-8\"");
            return {refused};
        }
        const std::string& path = request.path;
        if (path == "/" || path == "/index.html")
            return {Made("text/html; charset=utf-8", kFleetPage)};
        if (path == "/api/live") {
            const WebView view = ViewOfQuery(request.query);
            // Without a cursor the stream starts with what is stored from now on.
            StoreCursor after = view.after.value_or(StoreCursor{});
            if (!view.after) {
                auto db = pool.Take();
                const Rows newest = RunStatement(*db, NewestIdsStatement());
                after = {newest.Integer(0, 0), newest.Integer(0, 1)};
            }
            return {{}, std::make_unique<LiveStream>(feed, view.selection, after)};
        }
        if (path != "/api/hosts" && path != "/api/messages" && path != "/api/chart") {
            Response missing = Made("text/plain; charset=utf-8", "No such page: the fleet is at /.\n");
            missing.status = 404;
            return {missing};
        }
        auto db = pool.Take();
        // The client's going cancels the statement on the server; the answer then goes nowhere.
        Database* connection = &*db;
        ZintarHttp::CancelScope scope(cancellation, [connection] { connection->Cancel(); });
        if (path == "/api/hosts")
            return {Made("application/json", HostsJson(QueryHosts(*db), options.quietAfter))};
        const WebView view = ViewOfQuery(request.query);
        if (path == "/api/messages")
            return {Messages(*db, view)};
        return {Chart(*db, view)};
    }

    Response Messages(Database& db, const WebView& view)
    {
        const FleetFilter filter = FilterOf(view.selection, NowMs());
        StoreCursor upTo;
        if (view.upTo)
            upTo = *view.upTo;
        else {
            const Rows newest = RunStatement(db, NewestIdsStatement());
            upTo = {newest.Integer(0, 0), newest.Integer(0, 1)};
        }
        const Rows rows = RunStatement(db, PageStatement(filter, view.rows, view.before, upTo));
        std::vector<FleetRow> page;
        for (int i = 0; i < rows.Count(); ++i)
            page.push_back(RowAt(rows, i));
        if (view.format != ViewFormat::Json) {
            const bool csv = view.format == ViewFormat::Csv;
            Response download = Made(csv ? "text/csv; charset=utf-8" : "application/x-ndjson",
                                     RowsDownload(page, view.format, view.selection.utc));
            download.download = csv ? "zintar-fleet.csv" : "zintar-fleet.jsonl";
            return download;
        }
        std::optional<PageKey> older;
        if (rows.Count() == static_cast<int>(view.rows) && rows.Count() > 0) {
            const int last = rows.Count() - 1;
            older = PageKey{rows.Integer(last, kTimeUs), rows.Text(last, kHost), rows.Integer(last, kSortSequence),
                            rows.Integer(last, kId)};
        }
        return Made("application/json", PageJson(page, older, upTo));
    }

    Response Chart(Database& db, const WebView& view)
    {
        constexpr std::uint32_t kChartRows = 50000;
        FleetCommand selection = view.selection;
        if (!selection.since)
            selection.since = "-1h";
        FleetFilter filter = FilterOf(selection, NowMs());
        const std::int64_t from = *filter.sinceMs, to = filter.untilMs.value_or(NowMs());
        filter.untilMs = to;
        const char* bucket = ChartBucket(from, to);
        const Rows rows = RunStatement(db, ChartStatement(filter, bucket, view.byHost, kChartRows + 1));
        std::vector<ChartCount> counts;
        for (int i = 0; i < rows.Count() && i < static_cast<int>(kChartRows); ++i)
            counts.push_back({rows.Integer(i, kBucketMs), static_cast<int>(rows.Integer(i, kChartType)),
                              rows.Integer(i, kCount), rows.Text(i, kChartHost)});
        return Made("application/json",
                    ChartJson(bucket, from, to, counts, rows.Count() > static_cast<int>(kChartRows)));
    }

    WebOptions options;
    ConnectionPool pool;
    LiveFeed feed;
};

FleetWeb::FleetWeb(const WebOptions& options) : site(std::make_unique<Site>(options))
{
    ZintarHttp::ServerOptions server{options.listen, "zintar-fleet", options.workers};
    server.tls = options.tls;
    this->server = std::make_unique<ZintarHttp::HttpServer>(*site, server);
}

FleetWeb::~FleetWeb() = default;

std::uint16_t FleetWeb::Port() const
{
    return server->Port();
}

std::string FleetWeb::Url() const
{
    return server->Url();
}

void FleetWeb::Run()
{
    server->Run();
}

void FleetWeb::Stop()
{
    server->Stop();
}

}  // namespace ZintarFleet
