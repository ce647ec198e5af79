// zintar-fleet's reading verbs against a PostgreSQL of the test's own with the collector's schema,
// its rows stored through the loader's own path (MessageStore, as zintar_writer) and read as
// zintar_reader. Skipped where no PostgreSQL server is installed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/support/PrivatePostgres.h"
#include "tools/zintar-fleet/FleetReader.h"
#include "tools/zintar-fleet/MessageStore.h"

using namespace ZintarFleet;

namespace {

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Rfc3339(std::int64_t ms)
{
    const ZintarUtil::TimeFields t = FieldsOfEpochMs(ms, true);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d+00:00", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.milliseconds);
    return text;
}

IncomingRecord Message(const std::string& host, std::int64_t sequence, std::int64_t ageMs, int type = 0,
                       const std::string& text = "hello")
{
    char digest[17];
    std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(sequence));
    const std::int64_t at = NowMs() - ageMs;
    return IncomingMessage{host,  sequence, digest, 1, type, Rfc3339(at), static_cast<std::int32_t>(at / 86400000),
                           "aux", text};
}

IncomingRecord Gap(const std::string& host, std::int64_t lost, std::int64_t ageMs)
{
    return IncomingGap{host, 1, lost, Rfc3339(NowMs() - ageMs), std::to_string(lost) + " messages were overwritten"};
}

constexpr std::int64_t kMinute = 60 * 1000, kHour = 60 * kMinute;

class FleetDatabase : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!ZintarTest::PrivatePostgres::Available())
            GTEST_SKIP() << "no PostgreSQL server installed";
        pg = std::make_unique<ZintarTest::PrivatePostgres>();
        command.db = Db();
    }

    std::string Db() const { return "host=127.0.0.1 port=" + std::to_string(pg->Port()) + " dbname=zintar"; }

    void Store(const std::vector<IncomingRecord>& batch)
    {
        MessageStore store(pg->Conninfo("zintar_writer"), [](const std::string&) {});
        store.Store(batch);
    }

    std::string Read(FleetCommand read)
    {
        read.verb = FleetVerb::Read;
        read.db = Db();
        std::ostringstream out;
        RunRead(*ConnectReader(read.db, std::chrono::seconds(30)), read, out);
        return out.str();
    }

    std::unique_ptr<ZintarTest::PrivatePostgres> pg;
    FleetCommand command;
};

}  // namespace

TEST_F(FleetDatabase, HostsStatesAndGapCounts)
{
    Store({Message("ACTIVE", 1, 2 * kHour), Message("ACTIVE", 2, 30 * kMinute), Message("ACTIVE", 3, kMinute),
           Message("QUIET", 1, 3 * kHour), Message("LOSING", 1, 10 * kMinute), Gap("LOSING", 5, 2 * kHour),
           Gap("LOSING", 7, 3 * kHour), Gap("LOSING", 100, 30 * kHour), Gap("GAPONLY", 3, kHour),
           Message("OLDGAP", 1, kMinute), Gap("OLDGAP", 9, 25 * kHour)});
    pg->Execute("UPDATE zintar_host SET last_received = now() - interval '20 minutes' WHERE host = 'QUIET'");

    struct Row {
        const char* host;
        const char* state;
        std::int64_t messages, lastHour, gaps, lost;
    } rows[] = {
        {"ACTIVE", "active", 3, 2, 0, 0}, {"GAPONLY", "gap", 0, 0, 1, 3}, {"LOSING", "gap", 1, 1, 2, 12},
        {"OLDGAP", "active", 1, 1, 0, 0}, {"QUIET", "quiet", 1, 0, 0, 0},
    };
    const std::unique_ptr<Database> reader = ConnectReader(Db(), std::chrono::seconds(30));
    EXPECT_EQ(reader->User(), "zintar_reader");
    const std::vector<HostFigures> hosts = QueryHosts(*reader);
    ASSERT_EQ(hosts.size(), std::size(rows));
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        SCOPED_TRACE(rows[i].host);
        EXPECT_EQ(hosts[i].host, rows[i].host);
        EXPECT_STREQ(StateName(StateOf(hosts[i], std::chrono::minutes(15))), rows[i].state);
        EXPECT_EQ(hosts[i].messages, rows[i].messages);
        EXPECT_EQ(hosts[i].lastHour, rows[i].lastHour);
        EXPECT_EQ(hosts[i].gaps, rows[i].gaps);
        EXPECT_EQ(hosts[i].lost, rows[i].lost);
    }
    EXPECT_THROW(reader->Query("write", "DELETE FROM zintar_message"), DatabaseError) << "the reader changes nothing";
}

TEST_F(FleetDatabase, ReadSelectsByHostTimeTypeAndText)
{
    Store({Message("PLANTPC", 1, 3 * kHour, 3, "Disk full"), Message("PLANTPC", 2, 2 * kHour, 1, "50%_off sale"),
           Message("LINE2", 1, 90 * kMinute, 2, "disk FULL again"), Message("LINE3", 1, kHour, 0, "5000 off"),
           Message("line4", 1, 30 * kMinute, 0, "it's; DROP TABLE zintar_message; --"), Gap("LINE2", 4, 80 * kMinute)});
    struct Row {
        const char* name;
        FleetCommand command;
        std::vector<std::string> texts;  // in the order printed
    } rows[] = {
        {"everything, oldest first, the gap in line",
         {},
         {"Disk full", "50%_off sale", "disk FULL again", "4 messages were overwritten", "5000 off", "it's;"}},
        {"one host and a pattern",
         {.hosts = {"PLANTPC", "LINE?"}},
         {"Disk full", "50%_off sale", "disk FULL again", "4 messages were overwritten", "5000 off"}},
        {"an unknown host", {.hosts = {"NOBODY"}}, {}},
        {"a pattern is no regular expression", {.hosts = {"LINE.*"}}, {}},
        {"grep ignores case", {.grep = "DISK full"}, {"Disk full", "disk FULL again", "4 messages"}},
        {"grep's % and _ are literal", {.grep = "50%_"}, {"50%_off sale", "4 messages"}},
        {"grep of SQL is text", {.grep = "'; DROP TABLE"}, {"4 messages"}},
        {"types", {.types = 0b1100}, {"Disk full", "disk FULL again", "4 messages"}},
        {"a time range", {.since = "-100m", .until = "-45m"}, {"disk FULL again", "4 messages", "5000 off"}},
        {"the newest two", {.last = 2}, {"5000 off", "it's;"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::istringstream lines(Read(row.command));
        std::size_t count = 0;
        for (std::string line; std::getline(lines, line); ++count) {
            if (count < row.texts.size()) {
                EXPECT_NE(line.find(row.texts[count]), std::string::npos) << line;
            }
        }
        EXPECT_EQ(count, row.texts.size());
    }
    EXPECT_EQ(pg->Execute("SELECT count(*) FROM zintar_message"), "5");
}

TEST_F(FleetDatabase, FollowShowsEveryRowOfConcurrentInserters)
{
    // Step 1: rows before it starts; it shows the newest of them once.
    Store({Message("EARLY", 1, 3 * kMinute), Message("EARLY", 2, 2 * kMinute), Message("EARLY", 3, kMinute)});
    const std::unique_ptr<Database> reader = ConnectReader(Db(), std::chrono::seconds(30));
    FleetFollower follower(*reader, FleetFilter{});
    const std::vector<FleetRow> first = follower.Start(2);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].sequence, 2);
    EXPECT_EQ(first[1].sequence, 3);

    // Step 2: three loaders store batches at once, their message times out of order (a day ago,
    // an hour ahead), so that only the store's cursor can tell what is new.
    constexpr int kLoaders = 3, kBatches = 40, kPerBatch = 25;
    std::atomic<int> running{kLoaders};
    std::vector<std::thread> loaders;
    for (int loader = 0; loader < kLoaders; ++loader)
        loaders.emplace_back([&, loader] {
            MessageStore store(pg->Conninfo("zintar_writer"), [](const std::string&) {});
            const std::string host = "LOADER" + std::to_string(loader);
            for (int batch = 0; batch < kBatches; ++batch) {
                std::vector<IncomingRecord> records;
                for (int i = 0; i < kPerBatch; ++i) {
                    const std::int64_t sequence = batch * kPerBatch + i;
                    records.push_back(Message(host, sequence, (sequence % 3 - 1) * 24 * kHour + sequence));
                }
                if (batch % 10 == 9)
                    records.push_back(Gap(host, batch, kMinute));
                store.Store(records);
            }
            --running;
        });

    // Step 3: it follows until the loaders are done and a look finds nothing more.
    std::map<std::string, std::vector<std::int64_t>> seen;
    int gaps = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (bool done = false; std::chrono::steady_clock::now() < deadline;) {
        const std::vector<FleetRow> rows = follower.Poll();
        for (const FleetRow& row : rows)
            row.gap ? ++gaps : (seen[row.host].push_back(row.sequence), 0);
        if (done && rows.empty())
            break;
        done = running == 0;
    }
    for (std::thread& loader : loaders)
        loader.join();

    EXPECT_EQ(seen.count("EARLY"), 0u) << "nothing shown twice";
    EXPECT_EQ(gaps, kLoaders * kBatches / 10);
    for (int loader = 0; loader < kLoaders; ++loader) {
        SCOPED_TRACE(loader);
        const std::vector<std::int64_t>& sequences = seen["LOADER" + std::to_string(loader)];
        ASSERT_EQ(sequences.size(), static_cast<std::size_t>(kBatches * kPerBatch)) << "none missed or repeated";
        for (std::size_t i = 0; i < sequences.size(); ++i)
            ASSERT_EQ(sequences[i], static_cast<std::int64_t>(i)) << "in the order stored";
    }
}

TEST_F(FleetDatabase, CheckExitCodeForEachState)
{
    struct Step {
        const char* name;
        std::function<void()> make;
        int exitCode;
        const char* says;
    } steps[] = {
        {"an empty store", [] {}, 1, "WARNING - no machine"},
        {"every host active",
         [&] {
             Store({Message("A", 1, kMinute), Message("B", 1, kMinute)});
         },
         0, "OK"},
        {"one quiet",
         [&] { pg->Execute("UPDATE zintar_host SET last_received = now() - interval '1 hour' WHERE host = 'A'"); }, 1,
         "WARNING - 1 of 2 hosts quiet (A)"},
        {"messages lost", [&] { Store({Gap("B", 40, kMinute)}); }, 2, "CRITICAL - 40 messages lost"},
        {"within --max-gap", [&] { command.maxGap = 40; }, 1, "WARNING - 40 messages lost"},
        {"the collector stalled",
         [&] {
             pg->Execute("UPDATE zintar_host SET last_received = now() - interval '2 hours'; "
                         "UPDATE zintar_gap SET received = now() - interval '2 hours'");
         },
         2, "CRITICAL - the collector stored nothing for 7200 s"},
        {"the database down", [&] { pg->Stop(); }, 3, "UNKNOWN - Failed to connect to PostgreSQL"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.make();
        const CheckResult result = RunCheck(command);
        EXPECT_EQ(result.exitCode, step.exitCode) << result.line;
        EXPECT_NE(result.line.find(step.says), std::string::npos) << result.line;
        EXPECT_EQ(result.line.find('\n'), std::string::npos);
    }
}
