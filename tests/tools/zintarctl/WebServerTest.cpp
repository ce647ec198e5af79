// The web viewer's portable parts: the addresses it listens on and the Host headers it answers,
// the selection in a query, and the server itself on 127.0.0.1 against a log held in memory:
// its answers, its refusals and its event stream.
#include "tools/zintarctl/WebServer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "tests/support/LogImageBuilder.h"
#include "tests/support/LoopbackSockets.h"
#include "tools/zintarctl/MessageSelection.h"
#include "util/Exceptions.h"

using namespace ZintarCtl;
using ZintarTest::RecordAt;
using ZintarUtil::MessageRecord;
namespace http = boost::beast::http;
namespace net = boost::asio;

namespace {

// A log in memory: every watch hands out what was added since its last poll.
class MemoryLog : public LogSource {
public:
    void Add(const MessageRecord& record)
    {
        std::lock_guard lock(mutex);
        oldestFirst.push_back(record);
    }
    std::vector<MessageRecord> Read(const CtlCommand& command) override
    {
        if (broken)
            throw ZintarUtil::Exceptions::ExceptionBase("Failed to open the log file's mapping");
        std::lock_guard lock(mutex);
        return Select({oldestFirst.rbegin(), oldestFirst.rend()}, SelectionOf(command, {}), command.last);
    }
    StatusReport Status() override { return {ServiceState::Running, "running", true}; }
    std::string Name() const override { return "memory"; }
    std::unique_ptr<MessageWatch> Watch(const CtlCommand&) override { return std::make_unique<Watcher>(*this); }

    bool broken = false;

private:
    struct Watcher : MessageWatch {
        explicit Watcher(MemoryLog& log) : log(log) {}
        std::vector<MessageRecord> Poll() override
        {
            std::lock_guard lock(log.mutex);
            std::vector<MessageRecord> fresh(log.oldestFirst.begin() + static_cast<std::ptrdiff_t>(seen),
                                             log.oldestFirst.end());
            seen = log.oldestFirst.size();
            return fresh;
        }
        void LetGoIfStopped() override {}
        std::uint64_t TakeMissed() override { return 0; }
        MemoryLog& log;
        std::size_t seen = 0;
    };

    std::mutex mutex;
    std::vector<MessageRecord> oldestFirst;
};

// A connection to the server whose reads give up after 10 s, so that a silent server fails the
// test instead of hanging it.
struct Client {
    explicit Client(std::uint16_t port) : socket(io) { socket.connect({net::ip::make_address("127.0.0.1"), port}); }
    http::response<http::string_body> Get(const std::string& target, const std::string& host,
                                          http::verb verb = http::verb::get)
    {
        http::request<http::empty_body> request(verb, target, 11);
        request.set(http::field::host, host);
        http::write(socket, request);
        http::response<http::string_body> response;
        http::async_read(socket, buffer, response, [](boost::system::error_code, std::size_t) {});
        ZintarTest::RunWithin(io, socket, kReadBound);
        return response;
    }
    // Reads on into `received` until it holds `text`; false when the server closed or fell silent first.
    bool ReadUntil(std::string& received, const std::string& text)
    {
        char chunk[4096];
        boost::system::error_code error;
        while (received.find(text) == std::string::npos && !error) {
            socket.async_read_some(net::buffer(chunk), [&](boost::system::error_code e, std::size_t size) {
                error = e;
                received.append(chunk, size);
            });
            ZintarTest::RunWithin(io, socket, kReadBound);
        }
        return !error;
    }
    static constexpr std::chrono::seconds kReadBound{10};
    net::io_context io;
    net::ip::tcp::socket socket;
    boost::beast::flat_buffer buffer;
};

}  // namespace

TEST(WebServer, ListenAddressesAndHostHeaders)
{
    EXPECT_EQ(ParseListenAddress("localhost:8080").host, "127.0.0.1");
    EXPECT_EQ(ParseListenAddress("[::1]:0").host, "[::1]");
    for (const char* bad : {"8080", "127.0.0.1", "host.example:80", "127.0.0.1:65536", "127.0.0.1:x", ":80"})
        EXPECT_THROW(ParseListenAddress(bad), ZintarUtil::UsageError) << bad;

    const struct {
        const char* host;
        const char* listen;
        bool allowed;
    } kCases[] = {
        {"127.0.0.1:8080", "127.0.0.1", true},
        {"LOCALHOST:8080", "127.0.0.1", true},
        {"127.0.0.1:8081", "127.0.0.1", false},
        {"127.0.0.1", "127.0.0.1", false},
        {"attacker.example:8080", "127.0.0.1", false},
        {"127.0.0.1.attacker.example:8080", "127.0.0.1", false},
        {"", "127.0.0.1", false},
        {"localhost:8080", "192.168.1.5", false},
        {"192.168.1.5:8080", "192.168.1.5", true},
        {"192.168.1.5:8080", "0.0.0.0", true},
        {"[fe80::1]:8080", "[::]", true},
        {"plant-pc:8080", "0.0.0.0", false},
        {"[::1]:8080", "[::1]", true},
        {"localhost:8080", "[::1]", true},
        {"localhost:8080", "0.0.0.0", true},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(HostAllowed(c.host, {c.listen, 0}, 8080), c.allowed) << c.host << " to " << c.listen;
    EXPECT_TRUE(HostAllowed("127.0.0.1", {"127.0.0.1", 0}, 80)) << "a browser leaves :80 out";
    EXPECT_TRUE(HostAllowed("localhost:80", {"127.0.0.1", 0}, 80));
    EXPECT_FALSE(HostAllowed("attacker.example", {"127.0.0.1", 0}, 80));
}

TEST(WebServer, QueriesAreReadsSelections)
{
    const CtlCommand c = CommandOfQuery("n=5&type=0%2C2&text=Cam+1&grep=%5Eab%25&since=today&until=&format=csv&utc=1");
    EXPECT_EQ(c.last, 5u);
    EXPECT_EQ(c.types, 0b101u);
    EXPECT_EQ(c.textPrefix, "Cam 1");
    EXPECT_EQ(c.grep, "^ab%");
    EXPECT_EQ(c.since, "today");
    EXPECT_FALSE(c.until) << "an empty field selects nothing";
    EXPECT_EQ(c.format, Format::Csv);
    EXPECT_TRUE(c.utc);
    EXPECT_TRUE(CommandOfQuery("utc").utc) << "a bare utc means UTC, as read --utc does";
    EXPECT_EQ(DecodeQueryText("%zz%4"), "%zz%4") << "broken escapes stay as they are";
    for (const char* bad : {"type=9", "n=x", "n=-1", "format=xml"})
        EXPECT_THROW(CommandOfQuery(bad), ZintarUtil::UsageError) << bad;
}

TEST(WebServer, ServerAnswersRefusesAndStreams)
{
    MemoryLog log;
    log.Add(RecordAt(1, 0, "Camera 1: frame stored"));
    log.Add(RecordAt(2, 3, "Press 4: \"pressure\" out of range"));
    WebServer server(log, {"127.0.0.1", 0});
    std::thread serving([&] { server.Run(); });
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    Client client(server.Port());

    const auto page = client.Get("/", host);
    EXPECT_EQ(page.result(), http::status::ok);
    EXPECT_NE(page.body().find("<title>Tervan Log Server</title>"), std::string::npos);
    const auto json = client.Get("/api/messages?type=3", host);
    EXPECT_EQ(json.body(),
              "[{\"aux\":\"\",\"leading\":\"0000000000000000\",\"sequence\":2,\"text\":\"Press 4: \\\"pressure\\\" out "
              "of range\",\"time\":\"2026-12-06T10:00:02.005\",\"trailing\":\"00000000\",\"type\":3,\"weekday\":0}]");
    const auto csv = client.Get("/api/messages?n=1&format=csv", host);
    EXPECT_EQ(csv.body(),
              "time,type,text,aux\r\n2026-12-06 10:00:02.005,3,\"Press 4: \"\"pressure\"\" out of range\",\"\"\r\n");
    EXPECT_EQ(csv[http::field::content_disposition], "attachment; filename=\"zintar-log.csv\"");
    EXPECT_EQ(client.Get("/api/status", host).body(),
              "{\"answered\":true,\"service\":\"running\",\"source\":\"memory\"}");

    const std::string port = ":" + std::to_string(server.Port());
    EXPECT_EQ(client.Get("/api/messages", "attacker.example" + port).result(), http::status::forbidden);
    EXPECT_EQ(client.Get("/api/messages", host, http::verb::post).result(), http::status::method_not_allowed);
    EXPECT_EQ(client.Get("/api/messages?type=7", host).result(), http::status::bad_request);
    EXPECT_EQ(client.Get("/elsewhere", host).result(), http::status::not_found);
    log.broken = true;
    const auto unavailable = client.Get("/api/messages", host);
    EXPECT_EQ(unavailable.result(), http::status::service_unavailable);
    EXPECT_EQ(unavailable.body(), "{\"error\":\"Failed to open the log file's mapping\"}");

    Client stream(server.Port());
    http::request<http::empty_body> request(http::verb::get, "/api/stream?n=1", 11);
    request.set(http::field::host, host);
    http::write(stream.socket, request);
    std::string received;
    auto readUntil = [&](const std::string& text) { return stream.ReadUntil(received, text); };
    ASSERT_TRUE(readUntil("event: snapshot\ndata: [{"));
    EXPECT_NE(received.find("Content-Type: text/event-stream"), std::string::npos);
    log.Add(RecordAt(3, 1, "Conveyor 2: belt slipping"));
    ASSERT_TRUE(readUntil("\"text\":\"Conveyor 2: belt slipping\""));
    EXPECT_NE(received.find("event: messages\ndata: [{"), std::string::npos);

    server.Stop();
    serving.join();
}
