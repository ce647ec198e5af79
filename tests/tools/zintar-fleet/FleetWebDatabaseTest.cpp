// zintar-fleet's page API against a PostgreSQL of the test's own, served on 127.0.0.1 by the
// program's own server: the keyset pager over 10,000 rows while more arrive, hostile requests,
// a query cancelled by its client's going, 300 live streams and half-sent requests. Skipped where
// no PostgreSQL server is installed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <nlohmann/json.hpp>

#include "tests/support/LoopbackSockets.h"
#include "tests/support/PrivatePostgres.h"
#include "tools/zintar-fleet/FleetOutput.h"
#include "tools/zintar-fleet/FleetUsers.h"
#include "tools/zintar-fleet/FleetWeb.h"
#include "tools/zintar-fleet/MessageStore.h"

using namespace ZintarFleet;
namespace http = boost::beast::http;
namespace net = boost::asio;

namespace {

constexpr std::chrono::seconds kBound{20};

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

IncomingRecord Message(const std::string& host, std::int64_t sequence, std::int64_t atMs, const std::string& text)
{
    char digest[17], time[64];
    std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(sequence));
    const ZintarUtil::TimeFields t = FieldsOfEpochMs(atMs, true);
    std::snprintf(time, sizeof time, "%04d-%02d-%02dT%02d:%02d:%02d.%03d+00:00", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.milliseconds);
    return IncomingMessage{
        host, sequence, digest, 1, static_cast<int>(sequence % 4), time, static_cast<std::int32_t>(atMs / 86400000),
        "",   text};
}

// One connection to the page's server; every read bounded.
struct Client {
    explicit Client(std::uint16_t port) : socket(io) { socket.connect({net::ip::make_address("127.0.0.1"), port}); }
    http::response<http::string_body> Get(const std::string& target)
    {
        http::request<http::empty_body> request(http::verb::get, target, 11);
        request.set(http::field::host, "127.0.0.1:" + std::to_string(socket.remote_endpoint().port()));
        http::write(socket, request);
        http::response<http::string_body> response;
        http::async_read(socket, buffer, response, [](boost::system::error_code, std::size_t) {});
        ZintarTest::RunWithin(io, socket, kBound);
        return response;
    }
    net::io_context io;
    net::ip::tcp::socket socket;
    boost::beast::flat_buffer buffer;
};

class FleetWebDatabase : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!ZintarTest::PrivatePostgres::Available())
            GTEST_SKIP() << "no PostgreSQL server installed";
        pg = std::make_unique<ZintarTest::PrivatePostgres>();
    }
    void TearDown() override
    {
        if (web)
            web->Stop();
        if (serving.joinable())
            serving.join();
    }
    void Serve()
    {
        WebOptions options;
        options.db = "host=127.0.0.1 port=" + std::to_string(pg->Port()) + " dbname=zintar";
        options.listen = {"127.0.0.1", 0};
        options.livePoll = std::chrono::milliseconds(50);
        web = std::make_unique<FleetWeb>(options);
        serving = std::thread([this] { web->Run(); });
    }
    void Store(const std::vector<IncomingRecord>& batch)
    {
        MessageStore store(pg->Conninfo("zintar_writer"), [](const std::string&) {});
        store.Store(batch);
    }

    std::unique_ptr<ZintarTest::PrivatePostgres> pg;
    std::unique_ptr<FleetWeb> web;
    std::thread serving;
};

}  // namespace

TEST_F(FleetWebDatabase, KeysetPagerWalksEveryRowOnceWhileRowsArrive)
{
    // Step 1: 10,000 messages of 7 hosts over the last 10 hours, many sharing a millisecond, and gaps.
    const std::int64_t now = NowMs();
    std::vector<IncomingRecord> batch;
    for (int i = 0; i < 10000; ++i) {
        batch.push_back(Message("host-" + std::to_string(i % 7), i, now - (i * 3600 % 36000000) / 10, "m"));
        if (batch.size() == 2500)
            Store(std::exchange(batch, {}));
    }
    Store({IncomingGap{"host-1", 1, 5, "2026-01-01T00:00:00.000+00:00", "5 lost"},
           IncomingGap{"host-2", 1, 6, "2026-01-01T00:00:00.000+00:00", "6 lost"}});
    Serve();

    // Step 2: once the first page is read, rows keep arriving at every time in the range while the
    // other pages are read.
    std::atomic<bool> walking = true;
    std::thread arriving;
    const auto startArriving = [&] {
        arriving = std::thread([&] {
            for (int i = 0; walking && i < 2000; ++i)
                Store({Message("host-" + std::to_string(i % 3), 100000 + i, now - (i * 7919 % 36000000), "late")});
        });
    };

    // Step 3: the walk, 333 rows a page, keeps to the first page's cursor: none missed or repeated.
    Client client(web->Port());
    std::set<std::string> seen;
    std::string query = "/api/messages?n=333&since=2025-12-01T00:00:00";
    std::int64_t lastTime = INT64_MAX;
    for (int pages = 0; pages < 100; ++pages) {
        const auto response = client.Get(query);
        ASSERT_EQ(response.result(), http::status::ok) << response.body();
        const auto page = nlohmann::json::parse(response.body());
        for (const auto& row : page["rows"]) {
            const std::string key = row["host"].get<std::string>() + "/" + row["text"].get<std::string>() + "/" +
                                    (row.contains("seq") ? std::to_string(row["seq"].get<long>()) : "gap");
            EXPECT_TRUE(seen.insert(key).second) << "repeated: " << key;
            EXPECT_LE(row["t"].get<std::int64_t>(), lastTime) << "newest first";
            lastTime = row["t"];
        }
        if (!arriving.joinable())
            startArriving();
        if (page["older"].is_null())
            break;
        query = "/api/messages?n=333&since=2025-12-01T00:00:00&upto=" + page["cursor"].get<std::string>() +
                "&before=" + page["older"].get<std::string>();
        for (std::size_t at; (at = query.find(' ')) != std::string::npos;)
            query.replace(at, 1, "%20");
    }
    walking = false;
    if (arriving.joinable())
        arriving.join();
    const long late =
        std::count_if(seen.begin(), seen.end(), [](const std::string& k) { return k.find("/late/") != k.npos; });
    EXPECT_EQ(seen.size() - late, 10002u) << "every row stored before the first page, once";
    EXPECT_EQ(late, 0) << "rows stored after the first page are the live mode's";
}

TEST_F(FleetWebDatabase, HostileRequestsLearnNothing)
{
    Store({Message("plant-1", 1, NowMs() - 1000, "Disk full"), Message("plant-2", 2, NowMs() - 500, "50%_off")});
    Serve();
    struct Row {
        const char* name;
        std::string target;
        unsigned status;
        int rows;  // rows answered, -1: not a page
    } rows[] = {
        {"SQL in host", "/api/messages?host=x%27%3B%20DROP%20TABLE%20zintar_message%3B--", 200, 0},
        {"SQL in grep", "/api/messages?grep=%27%29%20OR%201%3D1%3B--", 200, 0},
        {"LIKE's signs in grep", "/api/messages?grep=%25_", 200, 1},
        {"a pattern of stars", "/api/messages?host=*%25*_*", 200, 0},
        {"a pathological grep", "/api/messages?grep=" + std::string(200, '%'), 200, 0},
        {"a grep too long", "/api/messages?grep=" + std::string(201, 'a'), 400, -1},
        {"huge n", "/api/messages?n=99999999999999999999999", 200, 2},
        {"negative n", "/api/messages?n=-1", 400, -1},
        {"SQL in n", "/api/messages?n=1%3BSELECT", 400, -1},
        {"SQL in since", "/api/messages?since=now()%27--", 400, -1},
        {"SQL in type", "/api/messages?type=1)%20OR%20(1", 400, -1},
        {"SQL in before", "/api/messages?before=1,2,3%27,x", 400, -1},
        {"a key of any host", "/api/messages?before=253402300799999999,0,0,%27%3B--", 200, 2},
        {"SQL in upto", "/api/messages?upto=1%27,2", 400, -1},
        {"SQL in by", "/api/chart?by=host%27--", 400, -1},
        {"SQL in the chart's grep", "/api/chart?grep=%27%3BDROP", 200, -1},
        {"no such page", "/api/../../etc/passwd", 404, -1},
    };
    Client client(web->Port());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto response = client.Get(row.target);
        EXPECT_EQ(response.result_int(), row.status) << response.body();
        // A refusal may repeat the value refused, never the database's words.
        for (const char* secret : {"ERROR:", "syntax", "postgres", "relation", "statement"})
            EXPECT_EQ(response.body().find(secret), std::string::npos) << response.body();
        if (row.rows >= 0) {
            EXPECT_EQ(nlohmann::json::parse(response.body())["rows"].size(), static_cast<std::size_t>(row.rows));
        }
    }
    EXPECT_EQ(pg->Execute("SELECT count(*) FROM zintar_message"), "2");
}

TEST_F(FleetWebDatabase, ClientGoneCancelsItsQueryAndStreamsAndHalfRequestsHoldNothing)
{
    Store({Message("plant-1", 1, NowMs() - 1000, "before")});
    Serve();
    const std::string host = "127.0.0.1:" + std::to_string(web->Port());

    // Step 1: a search held up by a lock; its client goes; the query on the server ends.
    std::unique_ptr<Database> admin = std::make_unique<Database>(pg->Conninfo("postgres"), "test");
    admin->Execute("BEGIN; LOCK TABLE zintar_message IN ACCESS EXCLUSIVE MODE");
    auto waitUntil = [&](int waiting) {
        // PostgreSQL itself waits, at most 10 s, for the number of the page's searches that wait
        // on a lock (the live mode's follower waits too), looking at the activity afresh every 20 ms.
        Database watcher(pg->Conninfo("postgres"), "test");
        watcher.Execute("CREATE FUNCTION pg_temp.wait_for(n bigint) RETURNS boolean LANGUAGE plpgsql AS $$ BEGIN "
                        "FOR i IN 1..500 LOOP PERFORM pg_stat_clear_snapshot(); "
                        "IF (SELECT count(*) FROM pg_stat_activity WHERE usename = 'zintar_reader' AND "
                        "wait_event_type = 'Lock' AND query LIKE '%r.sort DESC%') = n THEN RETURN true; END IF; "
                        "PERFORM pg_sleep(0.02); END LOOP; "
                        "RETURN false; END $$");
        return watcher.Query("wait", "SELECT pg_temp.wait_for($1::bigint)", {std::to_string(waiting)}).Text(0, 0);
    };
    {
        Client searcher(web->Port());
        http::request<http::empty_body> request(http::verb::get, "/api/messages?grep=needle&upto=100,100", 11);
        request.set(http::field::host, host);
        http::write(searcher.socket, request);
        EXPECT_EQ(waitUntil(1), "t") << "the search waits on the lock";
    }
    EXPECT_EQ(waitUntil(0), "t") << "the search was cancelled when its client went";
    admin->Execute("ROLLBACK");

    // Step 2: 300 live streams and 50 half-sent requests at once; a new row reaches every stream.
    net::io_context io;
    std::vector<std::unique_ptr<net::ip::tcp::socket>> streams, halves;
    std::vector<std::string> received(300);
    std::vector<char> buffers(300 * 4096);
    int reached = 0;
    std::function<void(std::size_t)> read = [&](std::size_t i) {
        streams[i]->async_read_some(net::buffer(&buffers[i * 4096], 4096),
                                    [&, i](boost::system::error_code e, std::size_t n) {
                                        if (e)
                                            return;
                                        received[i].append(&buffers[i * 4096], n);
                                        if (received[i].find("\"text\":\"after\"") != std::string::npos) {
                                            if (++reached == 300)
                                                io.stop();
                                            return;
                                        }
                                        read(i);
                                    });
    };
    const std::string live = "GET /api/live HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    for (std::size_t i = 0; i < 300; ++i) {
        streams.push_back(std::make_unique<net::ip::tcp::socket>(io));
        streams[i]->connect({net::ip::make_address("127.0.0.1"), web->Port()});
        net::write(*streams[i], net::buffer(live));
        read(i);
    }
    for (int i = 0; i < 50; ++i) {
        halves.push_back(std::make_unique<net::ip::tcp::socket>(io));
        halves.back()->connect({net::ip::make_address("127.0.0.1"), web->Port()});
        net::write(*halves.back(), net::buffer("GET /api/hosts HTTP/1.1\r\nHost: " + host + "\r\nX-Half: "));
    }
    Client client(web->Port());
    EXPECT_EQ(client.Get("/api/hosts").result(), http::status::ok) << "half-sent requests hold up no other";
    Store({Message("plant-1", 2, NowMs(), "after")});
    io.run_for(kBound);
    EXPECT_EQ(reached, 300) << "every stream got the new row";
}

// Beyond loopback the page is HTTPS with a login: nothing without the right password, and nothing
// in plain text at all.
TEST_F(FleetWebDatabase, TheLoginIsAskedOverTlsAndOnlyTheRightPasswordGetsIn)
{
    char folderTemplate[] = "/tmp/fleet-web-tls.XXXXXX";
    const std::string folder = mkdtemp(folderTemplate);
    const std::string certificate = folder + "/server.pem", key = folder + "/server-key.pem";
    ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj "
                           "/CN=127.0.0.1 -keyout " +
                           key + " -out " + certificate + " 2>/dev/null")
                              .c_str()),
              0);
    UserFile::Add(folder + "/users", "alice", "correct horse");
    WebOptions options;
    options.db = "host=127.0.0.1 port=" + std::to_string(pg->Port()) + " dbname=zintar";
    options.listen = {"127.0.0.1", 0};
    options.tls = ZintarHttp::TlsFiles{certificate, key};
    options.users = UserFile::Load(folder + "/users");
    web = std::make_unique<FleetWeb>(options);
    serving = std::thread([this] { web->Run(); });

    // One request over TLS (the test's own certificate is not checked), with `login` as Basic
    // credentials ("" for none): its status.
    const auto statusOver = [&](const std::string& authorization) {
        net::io_context io;
        net::ssl::context tls(net::ssl::context::tls_client);
        boost::beast::ssl_stream<boost::beast::tcp_stream> stream(io, tls);
        boost::beast::get_lowest_layer(stream).connect({net::ip::make_address("127.0.0.1"), web->Port()});
        boost::beast::get_lowest_layer(stream).expires_after(kBound);
        stream.handshake(net::ssl::stream_base::client);
        http::request<http::empty_body> request(http::verb::get, "/api/hosts", 11);
        request.set(http::field::host, "127.0.0.1:" + std::to_string(web->Port()));
        if (!authorization.empty())
            request.set(http::field::authorization, authorization);
        http::write(stream, request);
        boost::beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(stream, buffer, response);
        return response.result_int();
    };
    EXPECT_EQ(statusOver(""), 401);
    EXPECT_EQ(statusOver("Basic YWxpY2U6d3Jvbmc="), 401) << "alice:wrong";
    EXPECT_EQ(statusOver("Basic Ym9iOmNvcnJlY3QgaG9yc2U="), 401) << "bob:correct horse";
    EXPECT_EQ(statusOver("Basic YWxpY2U6Y29ycmVjdCBob3JzZQ=="), 200) << "alice:correct horse";

    // Plain HTTP to the same port gets no page.
    Client plain(web->Port());
    boost::system::error_code error;
    http::request<http::empty_body> request(http::verb::get, "/api/hosts", 11);
    request.set(http::field::host, "127.0.0.1:" + std::to_string(web->Port()));
    http::write(plain.socket, request, error);
    http::response<http::string_body> response;
    boost::system::error_code readError;
    http::async_read(plain.socket, plain.buffer, response,
                     [&readError](boost::system::error_code e, std::size_t) { readError = e; });
    ZintarTest::RunWithin(plain.io, plain.socket, kBound);
    EXPECT_TRUE(readError) << "an answer in plain text: " << response.result_int();
    std::filesystem::remove_all(folder);
}
