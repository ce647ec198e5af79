// zintar-forward's portable parts: where it resumes in the ring, the RELP answers it reads, its
// command line and state file, and the engine against a scripted collector that fails on cue.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "tests/support/LogImageBuilder.h"
#include "tools/zintar-forward/ForwardOptions.h"
#include "tools/zintar-forward/Forwarder.h"
#include "tools/zintar-forward/RelpProtocol.h"
#include "tools/zintar-forward/RingCursor.h"
#include "util/Exceptions.h"

using namespace ZintarForward;
using ZintarUtil::DigestOf;
using ZintarUtil::FileHeader;
using ZintarUtil::FormatForwardState;
using ZintarUtil::MessageRecord;
using ZintarUtil::ParseForwardState;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

// A ring written as listed, oldest first: each entry a sequence and a text.
struct RingContent {
    std::vector<std::pair<std::uint64_t, std::string>> records;
    std::uint64_t nextSequence;
};

MessageRecord Record(std::uint64_t sequence, const std::string& text)
{
    MessageRecord record{};
    record.sequence = sequence;
    record.message = ZintarTest::MessageWithKey(0, text);  // the bytes do not depend on the sequence
    return record;
}

ResumePoint PointOf(std::uint64_t sequence, const std::string& text, std::uint64_t generation = 1)
{
    return {generation, sequence, DigestOf(Record(sequence, text).message)};
}

// What Take hands out, as "text,text,..." after what it says of the point: "lost N:", "uncounted:"
// (lost, nobody knows how many), "ahead:" (not believed). The ring is in generation 2.
std::string Taken(const RingContent& ring, std::optional<ResumePoint> from, std::size_t limit = 100,
                  const RingCursor::Delivered& delivered = nullptr)
{
    FileHeader header{};
    header.messageCount = static_cast<std::int32_t>(ring.records.size());
    header.nextSequence = ring.nextSequence;
    header.generation = 2;
    const auto newest = [&](std::int32_t i) {
        const auto& [sequence, text] = ring.records[ring.records.size() - 1 - static_cast<std::size_t>(i)];
        return Record(sequence, text);
    };
    RingCursor cursor(from);
    const RingBatch batch = cursor.Take(header, newest, limit, delivered);
    std::string taken = batch.lost ? "lost " + std::to_string(batch.lost) + ":" : "";
    taken += std::string(batch.uncounted ? "uncounted:" : "") + (batch.positionAhead ? "ahead:" : "");
    for (const MessageRecord& record : batch.records)
        taken += std::string(record.message.text) + ",";
    return taken;
}

RingContent Numbered(std::uint64_t first, std::uint64_t end, const std::string& prefix = "m")
{
    RingContent ring{{}, end};
    for (std::uint64_t s = first; s < end; ++s)
        ring.records.push_back({s, prefix + std::to_string(s)});
    return ring;
}

}  // namespace

TEST(RingCursor, ResumesAfterItsMessageOrSaysWhatIsMissing)
{
    const struct {
        const char* name;
        RingContent ring;
        std::optional<ResumePoint> from;
        std::string expected;
    } rows[] = {
        {"no resume point: the oldest first", Numbered(0, 3), std::nullopt, "m0,m1,m2,"},
        {"the message is there", Numbered(0, 5), PointOf(2, "m2"), "m3,m4,"},
        {"the newest was the last one sent", Numbered(0, 5), PointOf(4, "m4"), ""},
        {"overwritten while away", Numbered(6, 10), PointOf(2, "m2"), "lost 3:m6,m7,m8,m9,"},
        {"only the message itself overwritten", Numbered(3, 7), PointOf(2, "m2"), "m3,m4,m5,m6,"},
        {"a new log file numbered from 0", Numbered(0, 3, "n"), PointOf(7, "m7"), "ahead:n0,n1,n2,"},
        {"a sequence the log has not numbered yet", Numbered(0, 3), PointOf(3, "m2"), "ahead:m0,m1,m2,"},
        {"a generation the log never had, on its newest message", Numbered(0, 3), PointOf(2, "m2", 3),
         "ahead:m0,m1,m2,"},
        {"a new log file already past the point", Numbered(0, 5, "n"), PointOf(1, "m1"), "n0,n1,n2,n3,n4,"},
        {"a rewrite renumbered it", {{{1, "a"}, {3, "late"}, {4, "b"}, {5, "c"}}, 6}, PointOf(2, "c"), "late,b,"},
        {"a burst larger than the ring, unnumbered", {{{0, "x"}, {0, "y"}}, 200}, PointOf(199, "m"), "uncounted:x,y,"},
        {"a burst after it, a late message in it",
         {{{0, "late"}, {199, "m"}, {0, "n"}}, 200},
         PointOf(199, "m"),
         "late,n,"},
        {"a repair dropped it", {{{1, "a"}, {2, "b"}, {4, "d"}, {5, "e"}}, 6}, PointOf(3, "c"), "d,e,"},
        {"an empty ring", {{}, 9}, PointOf(2, "m2"), ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Taken(row.ring, row.from), row.expected);
    }
    EXPECT_EQ(Taken(Numbered(0, 5), std::nullopt, 2), "m0,m1,") << "at most the limit";
    const RingContent renumbered{{{1, "a"}, {3, "late"}, {4, "b"}, {5, "c"}}, 6};
    const auto deliveredB = [](std::uint64_t digest) { return digest == PointOf(0, "b").digest; };
    EXPECT_EQ(Taken(renumbered, PointOf(2, "c"), 100, deliveredB), "late,") << "b was delivered under its old sequence";
}

TEST(RelpReplyReader, ReadsFramesInAnyPiecesAndRefusesAnythingElse)
{
    RelpReplyReader reader;
    const std::string stream = "1 rsp 6 200 OK\n2 rsp 0\n0 serverclose 0\n";
    for (char c : stream)  // one byte at a time: nothing may depend on how the bytes arrive
        reader.Feed(std::string(1, c));
    std::vector<std::string> frames;
    while (auto reply = reader.Next())
        frames.push_back(std::to_string(reply->txnr) + "/" + reply->command + "/" + reply->data);
    EXPECT_EQ(frames, (std::vector<std::string>{"1/rsp/200 OK", "2/rsp/", "0/serverclose/"}));
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
// octet-counted records, answers RELP, and fails on cue.
struct Collector {
    bool up = true;
    bool relp = true;
    std::vector<std::uint64_t> sequences;  // as they arrived, every copy
    std::vector<std::string> gaps;
    std::uint64_t answeredUpTo = 0;  // the highest sequence answered with 200
    int resetAfterRecords = -1;      // the connection fails once this many more arrived
    bool refuseNext = false, answerOutOfOrderNext = false;

    void Take(const std::string& record)
    {
        const std::size_t at = record.find("sequence=\"");
        if (at == std::string::npos)
            gaps.push_back(record.substr(record.find("lost=")));
        else
            sequences.push_back(std::stoull(record.substr(at + 10)));
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
                collector.Take(rest.substr(blank + 1, length));
                rest.erase(0, blank + 1 + length);
            }
            return;
        }
        frames.Feed(bytes);
        while (auto frame = frames.Next()) {
            std::string answer = "200 OK";
            if (frame->command == "syslog") {
                collector.Take(frame->data);
                if (std::exchange(collector.refuseNext, false))
                    answer = "500 disk full";
                else if (!collector.sequences.empty())
                    collector.answeredUpTo = std::max(collector.answeredUpTo, collector.sequences.back());
                if (collector.resetAfterRecords > 0)
                    --collector.resetAfterRecords;
            }
            const std::uint32_t txnr = frame->txnr + (std::exchange(collector.answerOutOfOrderNext, false) ? 1 : 0);
            replies += RelpFrame(txnr, "rsp", answer);
        }
    }
    std::string Receive(std::uint32_t timeoutMs) override
    {
        Fail();
        if (replies.empty())
            clock.now += timeoutMs;
        return std::exchange(replies, "");
    }
    bool Close(std::uint32_t) noexcept override { return true; }

private:
    void Fail()
    {
        if (collector.resetAfterRecords == 0 || !collector.up) {
            collector.resetAfterRecords = -1;
            throw ExceptionBase("connection reset by the collector");
        }
    }

    Collector& collector;
    FakeClock& clock;
    RelpReplyReader frames;  // a client's frames read as the collector reads them
    std::string replies;
};

class FakePlatform : public ForwarderPlatform {
public:
    explicit FakePlatform(std::int32_t capacity) : ring(capacity) {}

    std::uint64_t NowMs() override { return clock.now; }
    ZintarUtil::TimeFields LocalTime() override { return {2026, 12, 6, 10, 0, 0, 0, 0}; }
    ZintarUtil::SyslogOrigin Origin() override { return {"alpha", 60, 16}; }
    bool ReadRing(const std::function<void(const FileHeader&, const RingCursor::NewestRecord&)>& read) override
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
        // Never past what the collector has: with RELP, what it answered.
        if (collector.relp && state.acknowledged) {
            EXPECT_LE(state.acknowledged->sequence, collector.answeredUpTo);
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
    // Steps until the collector holds every sequence below `end` (or a bound is reached).
    void ForwardUntil(Forwarder& forwarder, std::uint64_t end)
    {
        for (int step = 0; step < 5000; ++step) {
            const std::set<std::uint64_t> distinct(collector.sequences.begin(), collector.sequences.end());
            if (distinct.size() == end && *distinct.rbegin() == end - 1 && forwarder.State().behind == 0 &&
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
    platform.collector.answeredUpTo = 0;
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
