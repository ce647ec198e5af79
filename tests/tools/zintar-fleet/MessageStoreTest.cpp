// The loader's store against a PostgreSQL of the test's own, logged in as the loader's role:
// batches stored once or not at all, what the database refuses set aside, the earlier layout
// migrated, retention by whole days.
#include "tools/zintar-fleet/MessageStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <utime.h>

#include "tests/support/PrivatePostgres.h"
#include "tools/zintar-fleet/SpoolLoader.h"

using namespace ZintarFleet;
using ZintarTest::PrivatePostgres;

namespace {

std::string Record(const std::string& host, int sequence, const std::string& time, const std::string& text)
{
    char digest[17];
    std::snprintf(digest, sizeof digest, "%016x", sequence * 7919 + 1);
    return "127.0.0.1 <133>1 " + time + " " + host + " zintar - type" + std::to_string(sequence % 4) +
           " [zintar@32473 aux=\"com3\" generation=\"1\" sequence=\"" + std::to_string(sequence) + "\" digest=\"" +
           digest + "\"] " + text;
}

std::vector<IncomingRecord> Batch(const std::vector<std::string>& lines)
{
    std::vector<IncomingRecord> batch;
    for (const std::string& line : lines)
        batch.push_back(ParseIncomingRecord(line));
    return batch;
}

// Records of `host` numbered from..to-1, today.
std::vector<std::string> Lines(const std::string& host, int from, int to)
{
    std::vector<std::string> lines;
    for (int i = from; i < to; ++i)
        lines.push_back(Record(host, i, "2026-12-07T10:00:00.000+01:00", "message " + std::to_string(i)));
    return lines;
}

class MessageStoreTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!PrivatePostgres::Available())
            GTEST_SKIP() << "no PostgreSQL server installed";
        pg = std::make_unique<PrivatePostgres>();
        store = std::make_unique<MessageStore>(pg->Conninfo("zintar_writer"),
                                               [this](const std::string& line) { diagnostics.push_back(line); });
    }

    std::string Sql(const std::string& query) { return pg->Execute(query); }

    std::unique_ptr<PrivatePostgres> pg;
    std::unique_ptr<MessageStore> store;
    std::vector<std::string> diagnostics;
};

}  // namespace

TEST_F(MessageStoreTest, ABatchIsStoredOnceOrNotAtAllAndCopiesAddNothing)
{
    // Step: a batch with a copy inside it, a gap, one that nobody could count, and a record that is none.
    std::vector<std::string> lines = Lines("alpha", 0, 100);
    lines.push_back(lines[5]);
    lines.push_back(
        "127.0.0.1 <133>1 2026-12-07T10:00:00Z alpha zintar - gap [zintar@32473 lost=\"3\" generation=\"1\"] "
        "3 lost");
    lines.push_back(
        "127.0.0.1 <133>1 2026-12-07T10:00:01Z alpha zintar - gap [zintar@32473 lost=\"0\" generation=\"2\" "
        "exact=\"false\"] an unknown number");
    lines.push_back("10.1.2.3 not a record at all");
    StoreCounts counts = store->Store(Batch(lines));
    EXPECT_EQ(counts.messages, 100u);
    EXPECT_EQ(counts.copies, 1u);
    EXPECT_EQ(counts.gaps, 2u);
    EXPECT_EQ(counts.rejected, 1u);
    EXPECT_EQ(Sql("SELECT string_agg(lost || ' ' || exact, ',' ORDER BY lost DESC) FROM zintar_gap"), "3 true,0 false");
    EXPECT_EQ(Sql("SELECT count(*) || ' ' || count(DISTINCT id) || ' ' || min(sequence) || ' ' || max(sequence) "
                  "FROM zintar_message"),
              "100 100 0 99");
    EXPECT_EQ(Sql("SELECT messages || ' ' || last_time FROM zintar_host WHERE host = 'alpha'"),
              "100 2026-12-07 09:00:00+00");
    EXPECT_EQ(Sql("SELECT peer || ' ' || reason || ' ' || convert_from(line, 'UTF8') FROM zintar_rejected"),
              "10.1.2.3 not an RFC 5424 record 10.1.2.3 not a record at all");

    // Step: the database goes away: the batch fails whole, nothing of it is stored.
    pg->Stop();
    EXPECT_THROW(store->Store(Batch(Lines("alpha", 100, 150))), DatabaseError);

    // Step: back again, rsyslog sends the batch again, with a copy of what was stored before: the
    // store connects anew and keeps each message once; the hosts' count follows what was new.
    pg->Restart();
    std::vector<std::string> again = Lines("alpha", 90, 150);
    counts = store->Store(Batch(again));
    EXPECT_EQ(counts.messages, 50u);
    EXPECT_EQ(counts.copies, 10u);
    EXPECT_EQ(Sql("SELECT count(*) || ' ' || count(DISTINCT (sequence, digest)) FROM zintar_message"), "150 150");
    EXPECT_EQ(Sql("SELECT messages FROM zintar_host WHERE host = 'alpha'"), "150");
    EXPECT_EQ(Sql("SELECT count(*) FROM zintar_gap"), "2");
    // ids grow in the order the batches were stored.
    EXPECT_EQ(Sql("SELECT count(*) FROM zintar_message WHERE sequence >= 100 AND id <= "
                  "(SELECT max(id) FROM zintar_message WHERE sequence < 100)"),
              "0");
}

TEST_F(MessageStoreTest, ARowTheDatabaseRefusesIsSetAsideAndTheRestOfItsBatchIsStored)
{
    // A rule the reader does not know of: the bulk insert fails, the batch goes row by row.
    Sql("ALTER TABLE zintar_message ADD CONSTRAINT no_poison CHECK (text <> 'poison')");
    std::vector<std::string> lines = Lines("beta", 0, 20);
    lines[7] = Record("beta", 7, "2026-12-07T10:00:00Z", "poison");
    const StoreCounts counts = store->Store(Batch(lines));
    EXPECT_EQ(counts.messages, 19u);
    EXPECT_EQ(counts.rejected, 1u);
    EXPECT_EQ(Sql("SELECT count(*) FROM zintar_message WHERE host = 'beta'"), "19");
    EXPECT_EQ(Sql("SELECT messages FROM zintar_host WHERE host = 'beta'"), "19");
    EXPECT_EQ(Sql("SELECT host || ': ' || (reason LIKE 'PostgreSQL refused it:%no_poison%') || ' ' || peer || ' ' || "
                  "(convert_from(line, 'UTF8') = '" +
                  lines[7] + "') FROM zintar_rejected"),
              "beta: true 127.0.0.1 true");
    ASSERT_EQ(diagnostics.size(), 1u);
}

TEST_F(MessageStoreTest, DaysGetTheirPartitionsAndAWrongClockLandsInTheDefaultOne)
{
    const std::string today = Sql("SELECT to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD')");
    store->Store(Batch({Record("gamma", 1, today + "T12:00:00Z", "today"),
                        Record("gamma", 2, "1999-01-01T00:00:00Z", "a clock years behind"),
                        Record("gamma", 3, "2090-01-01T00:00:00Z", "a clock years ahead")}));
    EXPECT_EQ(Sql("SELECT string_agg(text || ' ' || (tableoid::regclass::text = 'zintar_message_default'), ', ' "
                  "ORDER BY sequence) FROM zintar_message"),
              "today false, a clock years behind true, a clock years ahead true");
    EXPECT_EQ(Sql("SELECT count(*) FROM pg_class WHERE relname = 'zintar_message_' || "
                  "to_char(now() AT TIME ZONE 'UTC' + interval '1 day', 'YYYYMMDD')"),
              "1")
        << "tomorrow's partition is made ahead";

    // A day whose rows sit in the default partition (its partition could not be made in time)
    // takes them along when its partition is made, ids and all.
    Sql("DROP TABLE zintar_message_" + today.substr(0, 4) + today.substr(5, 2) + today.substr(8, 2));
    Sql("INSERT INTO zintar_message (host, sequence, digest, generation, type, time, aux, text) VALUES "
        "('gamma', 4, '0000000000000004', 1, 0, now(), '', 'late')");
    const std::string id = Sql("SELECT id FROM zintar_message WHERE text = 'late'");
    EXPECT_EQ(Sql("SELECT zintar_make_partition((now() AT TIME ZONE 'UTC')::date)"), "t");
    EXPECT_EQ(Sql("SELECT tableoid::regclass::text = 'zintar_message_default' OR id <> " + id +
                  " FROM zintar_message WHERE text = 'late'"),
              "f");
}

TEST_F(MessageStoreTest, RetentionDropsWholeDaysOnly)
{
    std::vector<std::string> lines;
    int sequence = 0;
    for (const char* day : {"2026-12-01", "2026-12-02", "2026-12-03", "2026-12-04"})
        for (const char* hour : {"T00:00:00Z", "T23:59:59.999Z"})
            lines.push_back(Record("delta", sequence++, std::string(day) + hour, "x"));
    lines.push_back(Record("delta", sequence++, "1999-01-01T00:00:00Z", "wrong clock"));
    store->Store(Batch(lines));
    Sql("INSERT INTO zintar_gap (host, generation, time, lost, text) VALUES ('delta', 1, '2026-12-02T00:00Z', 2, 'g')");

    // Everything before 2026-12-03 12:00: the 1st and 2nd go whole, the 3rd stays whole, and the row
    // of the wrong clock stays while it was received after the cut.
    Database writer(pg->Conninfo("zintar_writer"), "test");
    EXPECT_EQ(writer.Query("drop", "SELECT zintar_drop_before('2026-12-03T12:00:00Z')").Text(0, 0), "4");
    EXPECT_EQ(Sql("SELECT string_agg(DISTINCT to_char(time, 'YYYY-MM-DD'), ' ') FROM zintar_message"),
              "1999-01-01 2026-12-03 2026-12-04");
    EXPECT_EQ(Sql("SELECT count(*) FROM pg_class WHERE relname IN ('zintar_message_20261201', "
                  "'zintar_message_20261202')"),
              "0");
    EXPECT_EQ(Sql("SELECT messages || ' ' || first_time FROM zintar_host WHERE host = 'delta'"),
              "5 1999-01-01 00:00:00+00");
    EXPECT_EQ(Sql("SELECT count(*) FROM zintar_gap"), "0");
}

TEST_F(MessageStoreTest, TheEarlierLayoutIsMigratedInPlaceAndLoadingAgainChangesNothing)
{
    std::ifstream file(ZINTAR_COLLECTOR_SCHEMA);
    std::stringstream schema;
    schema << file.rdbuf();

    // The layout rsyslog's ompgsql wrote into, with rows received in an order of its own.
    Sql("DROP TABLE zintar_message, zintar_gap, zintar_host, zintar_rejected");
    Sql("CREATE TABLE zintar_message (host text NOT NULL, sequence bigint NOT NULL CHECK (sequence >= 0), "
        "digest text NOT NULL, generation bigint NOT NULL, type smallint NOT NULL, time timestamptz NOT NULL, "
        "aux text NOT NULL, text text NOT NULL, received timestamptz NOT NULL DEFAULT now(), "
        "PRIMARY KEY (host, sequence, digest));"
        "CREATE INDEX zintar_message_time ON zintar_message (host, time);"
        "CREATE TABLE zintar_gap (host text NOT NULL, generation bigint NOT NULL, time timestamptz NOT NULL, "
        "lost bigint NOT NULL, text text NOT NULL, received timestamptz NOT NULL DEFAULT now(), "
        "PRIMARY KEY (host, generation, time, lost));"
        "INSERT INTO zintar_message SELECT 'h' || (i % 3), i, lpad(to_hex(i), 16, '0'), 1, i % 4, "
        "now() - i * interval '1 hour', 'aux', 'text ' || i, now() - (i % 7) * interval '1 minute' "
        "FROM generate_series(1, 3000) i;"
        "INSERT INTO zintar_gap VALUES ('h1', 1, now(), 5, 'gap')");
    const std::string before = Sql("SELECT md5(string_agg(host || sequence || digest || time || text || received, ',' "
                                   "ORDER BY host, sequence)) FROM zintar_message");

    // Step: while the earlier rsyslog is still connected, the load refuses and changes nothing.
    auto ompgsql =
        std::make_unique<Database>(pg->Conninfo("zintar_writer") + " application_name=zintar-collector", "rsyslog");
    EXPECT_THROW(Sql(schema.str()), std::runtime_error);
    EXPECT_EQ(Sql("SELECT relkind FROM pg_class WHERE relname = 'zintar_message'"), "r");

    // Step: rsyslog stopped, the load migrates: every row kept, ids in the order received.
    ompgsql.reset();
    Sql(schema.str());
    const std::string after = Sql("SELECT md5(string_agg(host || sequence || digest || time || text || received, ',' "
                                  "ORDER BY host, sequence)) FROM zintar_message");
    EXPECT_EQ(after, before);
    EXPECT_EQ(Sql("SELECT relkind FROM pg_class WHERE relname = 'zintar_message'"), "p");
    EXPECT_EQ(Sql("SELECT count(*) FROM (SELECT id, lag(received) OVER (ORDER BY id) > received AS back "
                  "FROM zintar_message) ids WHERE back"),
              "0");
    EXPECT_EQ(Sql("SELECT sum(messages) FROM zintar_host"), "3000");
    EXPECT_EQ(Sql("SELECT id || ' ' || lost FROM zintar_gap"), "1 5");

    // Step: the loader stores into the new layout; loading the file again changes nothing.
    store->Store(Batch(Lines("h1", 1, 11)));
    const std::string stored = Sql("SELECT count(*) || ' ' || max(id) FROM zintar_message");
    Sql(schema.str());
    EXPECT_EQ(Sql("SELECT count(*) || ' ' || max(id) FROM zintar_message"), stored);
    EXPECT_EQ(Sql("SELECT relkind FROM pg_class WHERE relname = 'zintar_message'"), "p");
}

namespace {

void Append(const std::string& path, const std::vector<std::string>& lines, const std::string& tail = "")
{
    std::ofstream file(path, std::ios::app | std::ios::binary);
    for (const std::string& line : lines)
        file << line << '\n';
    file << tail;
}

void MakeOld(const std::string& path)
{
    const utimbuf old{1000000000, 1000000000};
    utime(path.c_str(), &old);
}

}  // namespace

// rsyslog's spool, stored batch by batch with its position: wherever a loader stops, the next
// goes on where the last commit left, and nothing is stored twice.
TEST_F(MessageStoreTest, TheSpoolIsStoredOnceWhereverTheLoaderStops)
{
    char folderTemplate[] = "/tmp/zintar-spool.XXXXXX";
    const std::string folder = mkdtemp(folderTemplate);
    const std::string hour10 = folder + "/20261207-10.records", hour11 = folder + "/20261207-11.records";
    const auto messages = [this] {
        return Sql("SELECT count(*) || ' ' || count(DISTINCT sequence) FROM zintar_message");
    };

    // Step: 5,000 lines and one rsyslog is still writing: two batches, the half line waits.
    const std::vector<std::string> lines = Lines("spool", 0, 5000);
    const std::string late = Record("spool", 5000, "2026-12-07T10:00:00.000+01:00", "message 5000");
    Append(hour10, lines, late.substr(0, 40));
    auto loader = std::make_unique<SpoolLoader>(folder, *store, [](const std::string&) {});
    EXPECT_THROW(SpoolLoader(folder, *store, [](const std::string&) {}), ZintarUtil::Exceptions::ExceptionBase)
        << "a second loader of the same spool";
    EXPECT_TRUE(loader->Step());
    EXPECT_EQ(messages(), "4096 4096");
    EXPECT_TRUE(loader->Step());
    EXPECT_FALSE(loader->Step());
    EXPECT_EQ(messages(), "5000 5000");

    // Step: the database goes away while the line is finished and more come: nothing moves.
    std::vector<std::string> more = Lines("spool", 5001, 5011);
    more.insert(more.begin(), late.substr(40));
    Append(hour10, more, "rsyslogd killed in this line");
    pg->Stop();
    EXPECT_THROW(loader->Step(), DatabaseError);

    // Step: the loader dies; the next, with the database back, starts where the last commit left.
    loader.reset();
    pg->Restart();
    loader = std::make_unique<SpoolLoader>(folder, *store, [](const std::string&) {});
    EXPECT_TRUE(loader->Step());
    EXPECT_EQ(messages(), "5011 5011");

    // Step: a new hour begins. The old file ends without a line end (rsyslogd was killed while it
    // wrote): once it settled, its end is a line of its own; then the new file; then the old one is
    // removed with its position.
    Append(hour11, Lines("spool", 6000, 6003));
    EXPECT_FALSE(loader->Step()) << "the old file is not done yet";
    MakeOld(hour10);
    EXPECT_TRUE(loader->Step());
    EXPECT_EQ(Sql("SELECT count(*) FROM zintar_rejected WHERE reason = 'not an RFC 5424 record'"), "1");
    EXPECT_TRUE(loader->Step());
    EXPECT_EQ(messages(), "5014 5014");
    EXPECT_FALSE(loader->Step());
    EXPECT_FALSE(std::filesystem::exists(hour10));
    EXPECT_EQ(Sql("SELECT string_agg(file || ' ' || position, ', ') FROM zintar_spool_position"),
              "20261207-11.records " + std::to_string(std::filesystem::file_size(hour11)));
    std::filesystem::remove_all(folder);
}
