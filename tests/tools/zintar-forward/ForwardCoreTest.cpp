// zintar-forward's portable parts: the RELP answers it reads, its command line and state file, and
// the engine against a scripted collector that fails on cue (where it resumes in the ring:
// tests/util/LogCursorTest.cpp).
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <set>

#include "tests/support/LogImageBuilder.h"
#include "tools/zintar-forward/ForwardOptions.h"
#include "tools/zintar-forward/Forwarder.h"
#include "tools/zintar-forward/RelpProtocol.h"
#include "util/Exceptions.h"

using namespace ZintarForward;
using ZintarUtil::FileHeader;
using ZintarUtil::FormatForwardState;
using ZintarUtil::MessageRecord;
using ZintarUtil::ParseForwardState;
using ZintarUtil::Exceptions::ExceptionBase;

TEST(RelpReplyReader, ReadsFramesInAnyPiecesAndRefusesAnythingElse)
{
    RelpReplyReader reader;
    const std::string stream = "1 rsp 6 200 OK\n2 rsp 0\n0 serverclose 0\n999999999 rsp 0\n";
    std::vector<std::string> frames;
    for (char c : stream) {  // one byte at a time, read after each: a frame short of its line end waits
        reader.Feed(std::string(1, c));
        while (auto reply = reader.Next())
            frames.push_back(std::to_string(reply->txnr) + "/" + reply->command + "/" + reply->data);
    }
    EXPECT_EQ(frames, (std::vector<std::string>{"1/rsp/200 OK", "2/rsp/", "0/serverclose/", "999999999/rsp/"}));
    EXPECT_EQ(ParseRelpStatus("500 not accepted\nmore").text, "not accepted");
    EXPECT_FALSE(ParseRelpStatus("500 no").Ok());

    for (const char* bad : {"x rsp 6 200 OK\n", "1 RSP 6 200 OK\n", "1 rsp 6 200 OKX", "1234567890 rsp 0\n",
                            "1 rsp 99999999 ", "1 rsp6 200 OK\n", "1  rsp 0\n", "1 rsp 2 200 OK\n"}) {
        RelpReplyReader hostile;
        hostile.Feed(bad);
        EXPECT_THROW(hostile.Next(), ExceptionBase) << bad;
    }
    for (const char* bad : {"", "20", "OK 200", "2000 OK"})
        EXPECT_THROW(ParseRelpStatus(bad), ExceptionBase) << bad;
    EXPECT_EQ(RelpFrame(7, "syslog", "abc"), "7 syslog 3 abc\n");
    EXPECT_EQ(RelpFrame(8, "close", ""), "8 close 0\n");
    EXPECT_EQ(NextRelpTxnr(kRelpMaxTxnr), 1u);
}

TEST(ForwardOptions, CommandLinesAndStateFiles)
{
    const auto errorOf = [](std::vector<std::string> args) {
        std::string help;
        try {
            ParseForwardCommandLine(args, help);
            return std::string("(accepted)");
        } catch (const ZintarUtil::UsageError& e) {
            return std::string(e.what());
        }
    };
    const std::string pin(64, 'a');
    const struct {
        std::vector<std::string> args;
        std::string error;  // a part of it
    } rows[] = {
        {{"run", "--to", "relp://127.0.0.1:2514"}, "(accepted)"},
        {{"run", "--to", "RELP+TLS://[::1]:2514", "--fingerprint", pin}, "(accepted)"},
        {{"install", "--to", "tls://c.example:6514", "--ca", "ca.pem", "--types", "0,3", "--facility", "23"},
         "(accepted)"},
        {{"run"}, "--to is required"},
        {{"run", "--to", "udp://c:514"}, "--to needs relp://"},
        {{"run", "--to", "tcp://c"}, "--to needs HOST:PORT"},
        {{"run", "--to", "tcp://c:514/x"}, "nothing after the port"},
        {{"run", "--to", "tcp://c:514", "--ca", "ca.pem"}, "need a TLS target"},
        {{"run", "--to", "relp://c:514", "--client-cert", "me.pfx"}, "need a TLS target"},
        {{"run", "--to", "relp://c:514", "--fingerprint", pin}, "need a TLS target"},
        {{"run", "--to", "tls://c:1", "--ca", "x", "--fingerprint", pin}, "exclude each other"},
        {{"run", "--to", "tls://c:1", "--fingerprint", pin.substr(2)}, "64 hex digits"},
        {{"run", "--to", "tls://c:1", "--types", "4"}, "--types takes types 0 to 3"},
        {{"run", "--to", "tls://c:1", "--facility", "24"}, "--facility"},
        {{"run", "--to", "tls://c:1", "--host-name", "two words"}, "--host-name"},
        {{"run", "--to", "tls://c:1", "--revocation", "off"}, "(accepted)"},
        {{"run", "--to", "tls://c:1", "--revocation", "HARD"}, "--revocation takes off, soft or hard"},
        {{"run", "--to", "tls://c:1", "--fingerprint", pin, "--revocation", "soft"}, "(accepted)"},
        {{"run", "--to", "tls://c:1", "--fingerprint", pin, "--revocation", "hard"}, "needs a chain to check"},
    };
    for (const auto& row : rows)
        EXPECT_NE(errorOf(row.args).find(row.error), std::string::npos) << errorOf(row.args);
    EXPECT_EQ(FingerprintText(ParseFingerprint("AB:" + std::string(62, '0'))).substr(0, 6), "AB:00:");
    EXPECT_TRUE(ParseTarget("tcp://127.0.0.2:5").IsLoopback());
    EXPECT_FALSE(ParseTarget("tcp://10.0.0.1:5").IsLoopback());

    std::string help;
    EXPECT_EQ(ParseForwardCommandLine({"run", "--to", "tls://c:1"}, help)->settings.revocation,
              ZintarUtil::RevocationCheck::Soft);
    EXPECT_EQ(
        ParseForwardCommandLine({"install", "--to", "tls://c:1", "--revocation", "hard"}, help)->settings.revocation,
        ZintarUtil::RevocationCheck::Hard);
    EXPECT_FALSE(ParseForwardCommandLine({"help"}, help).has_value()) << "help asked for, as of zintarctl";

    ForwardState state;
    state.target = "tls://c:1";
    state.connected = true;
    state.protocol = "TLS 1.3";
    EXPECT_NE(ZintarUtil::ForwardStatusText(ParseForwardState(FormatForwardState(state)), true)
                  .find("\nprotocol       TLS 1.3\n"),
              std::string::npos);
    EXPECT_NE(ZintarUtil::ForwardStatusLine(state).find("connected to tls://c:1 over TLS 1.3"), std::string::npos);
    state = ForwardState{};
    state.acknowledged = ResumePoint{4, 1234, 0x00ab00000000ffffull};
    state.lost = 7;
    state.problem = "refused\nagain";
    const ForwardState back = ParseForwardState(FormatForwardState(state));
    EXPECT_EQ(back.acknowledged, state.acknowledged);
    EXPECT_EQ(back.lost, 7u);
    EXPECT_EQ(back.problem, "refused again");
    for (const char* damaged : {"generation=4\nsequence=12\n", "generation=4\nsequence=x\ndigest=00ab00000000ffff\n",
                                "generation=4\nsequence=1\ndigest=ab\n", "\x01\x02garbage"})
        EXPECT_FALSE(ParseForwardState(damaged).acknowledged) << damaged;
}

namespace {

// The collector's side, shared by every connection the forwarder makes: it reads RELP frames or
// octet-counted records and keeps what it answered with 200 (RELP), or what stood a second on a
// connection that still ran or was closed cleanly (TCP, TLS); what was in flight when a connection
// ended otherwise is lost with it. The flags below are the ways a collector or the network fails,
// one each; Heal() ends them.
struct Collector {
    bool up = true;
    bool relp = true;
    std::vector<std::uint64_t> sequences;  // as they arrived, every copy
    std::vector<std::string> gaps;
    std::set<std::uint64_t> kept;
    int resetAfterRecords = -1;  // the connection fails once this many more arrived
    bool refuseNext = false, answerOutOfOrderNext = false;
    bool holdAnswers = false;     // reads everything and answers nothing until healed: sent is not answered
    bool closeUnclean = false;    // a close fails: what was in flight is not kept
    bool breakMidAnswer = false;  // the next answer stops short of its line end and the connection breaks
    bool silent = false;          // a connection it saw never answers again (half-open), nor fails

    void Heal() { holdAnswers = closeUnclean = breakMidAnswer = silent = false; }
    std::optional<std::uint64_t> Take(const std::string& record)
    {
        const std::size_t at = record.find("sequence=\"");
        if (at == std::string::npos) {
            gaps.push_back(record.substr(record.find("lost=")));
            return std::nullopt;
        }
        sequences.push_back(std::stoull(record.substr(at + 10)));
        return sequences.back();
    }
};

struct FakeClock {
    std::uint64_t now = 1;
};

class FakeConnection : public Connection {
public:
    FakeConnection(Collector& collector, FakeClock& clock) : collector(collector), clock(clock) {}

    void Send(std::string_view bytes, std::uint32_t) override
    {
        Fail();
        if (!collector.relp) {
            for (std::string rest(bytes); !rest.empty();) {
                const std::size_t blank = rest.find(' ');
                const std::size_t length = std::stoul(rest.substr(0, blank));
                inFlight.push_back({collector.Take(rest.substr(blank + 1, length)), "", clock.now});
                rest.erase(0, blank + 1 + length);
            }
            return;
        }
        frames.Feed(bytes);
        while (auto frame = frames.Next()) {
            std::optional<std::uint64_t> sequence;
            std::string answer = "200 OK";
            if (frame->command == "syslog") {
                sequence = collector.Take(frame->data);
                if (std::exchange(collector.refuseNext, false)) {
                    answer = "500 disk full";
                    sequence.reset();
                }
                if (collector.resetAfterRecords > 0)
                    --collector.resetAfterRecords;
            }
            const std::uint32_t txnr = frame->txnr + (std::exchange(collector.answerOutOfOrderNext, false) ? 1 : 0);
            inFlight.push_back({sequence, RelpFrame(txnr, "rsp", answer), clock.now});
        }
    }
    std::string Receive(std::uint32_t timeoutMs) override
    {
        Fail();
        std::string replies;
        for (; collector.relp && !collector.holdAnswers && !deaf && !inFlight.empty(); inFlight.pop_front()) {
            const std::string& answer = inFlight.front().answer;
            if ((broken = std::exchange(collector.breakMidAnswer, false)))
                return replies + answer.substr(0, answer.size() - 1);
            replies += answer;
            Keep(inFlight.front().sequence);
        }
        if (replies.empty())
            clock.now += timeoutMs;
        while (!collector.relp && !inFlight.empty() && clock.now - inFlight.front().arrivedAt >= 1000) {
            Keep(inFlight.front().sequence);
            inFlight.pop_front();
        }
        return replies;
    }
    bool Close(std::uint32_t) noexcept override
    {
        if (collector.closeUnclean)
            return false;
        for (; !collector.relp && !inFlight.empty(); inFlight.pop_front())
            Keep(inFlight.front().sequence);
        return true;
    }

private:
    void Keep(std::optional<std::uint64_t> sequence)
    {
        if (sequence)
            collector.kept.insert(*sequence);
    }
    void Fail()
    {
        deaf = deaf || collector.silent;
        if (broken || collector.resetAfterRecords == 0 || !collector.up) {
            collector.resetAfterRecords = -1;
            throw ExceptionBase("connection reset by the collector");
        }
    }

    Collector& collector;
    FakeClock& clock;
    RelpReplyReader frames;  // a client's frames read as the collector reads them
    struct Arrived {
        std::optional<std::uint64_t> sequence;  // none for a gap, a refused record, a command
        std::string answer;                     // RELP
        std::uint64_t arrivedAt;
    };
    std::deque<Arrived> inFlight;  // arrived and not kept yet
    bool deaf = false, broken = false;
};

class FakePlatform : public ForwarderPlatform {
public:
    explicit FakePlatform(std::int32_t capacity) : ring(capacity) {}

    std::uint64_t NowMs() override { return clock.now; }
    ZintarUtil::TimeFields LocalTime() override { return {2026, 12, 6, 10, 0, 0, 0, 0}; }
    ZintarUtil::SyslogOrigin Origin() override { return {"alpha", 60, 16}; }
    bool ReadRing(const std::function<void(const FileHeader&, const ZintarUtil::NewestRecord&)>& read) override
    {
        const FileHeader& h = ring.Header();
        read(h, [&](std::int32_t i) { return ring.Slot(ZintarUtil::NewestFirstSlot(h.nextSlot, h.capacity, i)); });
        return true;
    }
    std::unique_ptr<Connection> Connect() override
    {
        if (!collector.up)
            throw ExceptionBase("connection refused");
        return std::make_unique<FakeConnection>(collector, clock);
    }
    void SaveState(const ForwardState& state) override
    {
        // Never past what the collector keeps.
        if (state.acknowledged) {
            EXPECT_TRUE(!collector.kept.empty() && state.acknowledged->sequence <= *collector.kept.rbegin())
                << state.acknowledged->sequence;
        }
        saved = state;
    }
    void Log(const std::string& line) override { log += line + "\n"; }
    bool WaitForStop(std::uint32_t ms) override
    {
        clock.now += ms;
        return false;
    }
    bool StopRequested() override { return false; }

    void Push(std::uint64_t count, std::int32_t type = 0)
    {
        for (std::uint64_t i = 0; i < count; ++i) {
            ZintarUtil::LogMessage message = ZintarTest::MessageWithKey(ring.Header().nextSequence);
            message.type = type;
            ring.Append(message);
        }
    }
    // Steps until the collector keeps every sequence below `end` (or a bound is reached).
    void ForwardUntil(Forwarder& forwarder, std::uint64_t end)
    {
        for (int step = 0; step < 5000; ++step) {
            const std::set<std::uint64_t>& kept = collector.kept;
            if (kept.size() == end && *kept.rbegin() == end - 1 && forwarder.State().behind == 0 &&
                forwarder.State().acknowledged && forwarder.State().acknowledged->sequence == end - 1)
                return;
            forwarder.Step();
        }
        ADD_FAILURE() << "not everything arrived:\n" << log;
    }

    FakeClock clock;
    ZintarTest::LogImage ring;
    Collector collector;
    ForwardState saved;
    std::string log;
};

std::size_t Copies(const std::vector<std::uint64_t>& sequences)
{
    return sequences.size() - std::set<std::uint64_t>(sequences.begin(), sequences.end()).size();
}

}  // namespace

TEST(Forwarder, DeliversEverythingAcrossFailuresOfTheCollectorAndItself)
{
    FakePlatform platform(200);
    ForwarderOptions options{ParseTarget("relp://127.0.0.1:2514")};
    options.window = 32;
    auto forwarder = std::make_unique<Forwarder>(options, platform, ForwardState{});

    // 1. The connection fails part-way: what was not answered comes again, nothing is missing.
    platform.Push(150);
    platform.collector.resetAfterRecords = 60;
    platform.ForwardUntil(*forwarder, 150);
    EXPECT_LE(Copies(platform.collector.sequences), options.window);

    // 2. A refused record and an answer out of order each end the connection; still nothing lost.
    platform.collector.refuseNext = true;
    platform.Push(20);
    platform.ForwardUntil(*forwarder, 170);
    platform.collector.answerOutOfOrderNext = true;
    platform.Push(20);
    platform.ForwardUntil(*forwarder, 190);
    EXPECT_NE(platform.log.find("refused a record: 500 disk full"), std::string::npos) << platform.log;
    EXPECT_NE(platform.log.find("answered RELP transaction"), std::string::npos) << platform.log;

    // 3. The collector is away while the ring turns over: one gap record with the exact count first.
    platform.collector.up = false;
    forwarder->Step();
    platform.Push(300);  // the ring keeps 290..489: 190..289 are gone
    platform.collector.up = true;
    platform.clock.now += 60000;
    platform.collector.sequences.clear();
    for (int step = 0; step < 200 && platform.collector.sequences.size() < 200; ++step)
        forwarder->Step();
    EXPECT_EQ(platform.collector.gaps, (std::vector<std::string>{"lost=\"100\" generation=\"0\"] "
                                                                 "100 messages were overwritten in the log before "
                                                                 "they could be forwarded"}));
    ASSERT_FALSE(platform.collector.sequences.empty());
    EXPECT_EQ(platform.collector.sequences.front(), 290u);
    forwarder->Finish();
    EXPECT_EQ(platform.saved.lost, 100u);
    EXPECT_EQ(platform.saved.acknowledged->sequence, 489u);

    // 4. A new forwarder from the saved state sends exactly what came after.
    platform.collector.sequences.clear();
    forwarder = std::make_unique<Forwarder>(options, platform, platform.saved);
    platform.Push(10);
    for (int step = 0; step < 100; ++step)
        forwarder->Step();
    EXPECT_EQ(platform.collector.sequences,
              (std::vector<std::uint64_t>{490, 491, 492, 493, 494, 495, 496, 497, 498, 499}));
}

TEST(Forwarder, OverTcpARecordCountsOnceItStoodSentForASecond)
{
    FakePlatform platform(100);
    platform.collector.relp = false;
    ForwarderOptions options{ParseTarget("tcp://127.0.0.1:514")};
    options.typeMask = 0b1101;  // type 1 is not forwarded
    Forwarder forwarder(options, platform, ForwardState{});
    platform.Push(5, 0);
    platform.Push(5, 1);
    platform.Push(5, 2);
    forwarder.Step();
    EXPECT_EQ(platform.collector.sequences.size(), 10u) << "type 1 is left out";
    EXPECT_FALSE(forwarder.State().acknowledged) << "nothing counts before a second has passed";

    platform.collector.resetAfterRecords = 0;  // the connection fails within that second
    forwarder.Step();
    platform.clock.now += 2000;
    for (int step = 0; step < 100; ++step)
        forwarder.Step();
    EXPECT_EQ(platform.collector.sequences.size(), 20u) << "sent again after the failure";
    ASSERT_TRUE(forwarder.State().acknowledged);
    EXPECT_EQ(forwarder.State().acknowledged->sequence, 14u) << "past the messages of type 1 too";
    EXPECT_EQ(forwarder.State().warning, "");
    EXPECT_NE(Forwarder(ForwarderOptions{ParseTarget("tcp://10.1.2.3:514")}, platform, {}).State().warning, "");
}

// The collector fails one way while the forwarder steps on, stops or is killed; once it is healed
// (and the forwarder started again from what it saved), it keeps every message, and no saved resume
// point ever stood past what it kept.
TEST(Forwarder, KeepsItsPromiseWhateverTheCollectorDoes)
{
    enum class Then { StepsOn, Stops, IsKilled };
    const struct {
        const char* name;
        const char* target;
        bool Collector::*fault;
        Then then;
    } rows[] = {
        {"answers held back while it forwards", "relp://127.0.0.1:2514", &Collector::holdAnswers, Then::StepsOn},
        {"answers held back when it stops", "relp://127.0.0.1:2514", &Collector::holdAnswers, Then::Stops},
        {"answers held back when it is killed", "relp://127.0.0.1:2514", &Collector::holdAnswers, Then::IsKilled},
        {"an answer broken off before its line end", "relp://127.0.0.1:2514", &Collector::breakMidAnswer,
         Then::StepsOn},
        {"a half-open connection: no answer ever", "relp://127.0.0.1:2514", &Collector::silent, Then::StepsOn},
        {"a TCP stop while the collector fails", "tcp://127.0.0.1:514", &Collector::closeUnclean, Then::Stops},
        {"a TLS stop while the collector fails", "tls://127.0.0.1:6514", &Collector::closeUnclean, Then::Stops},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FakePlatform platform(200);
        ForwarderOptions options{ParseTarget(row.target)};
        options.window = 8;
        platform.collector.relp = options.target.UsesRelp();
        auto forwarder = std::make_unique<Forwarder>(options, platform, ForwardState{});
        platform.Push(20);
        platform.ForwardUntil(*forwarder, 20);
        platform.collector.*row.fault = true;
        for (int step = 0; step < 30; ++step) {  // the ring fills on: some records are always in flight
            platform.Push(1);
            forwarder->Step();
        }
        if (row.then == Then::Stops)
            forwarder->Finish();
        if (row.then != Then::StepsOn)
            forwarder = std::make_unique<Forwarder>(options, platform, platform.saved);
        platform.collector.Heal();
        platform.ForwardUntil(*forwarder, 50);
    }
}
