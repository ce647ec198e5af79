// The locking protocol between processes: one writer, readers in other processes, and
// participants that die while they hold access.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "tests/Server/win32/LogStoreFixture.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win32/ChildProcess.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/LogFileSoundness.h"
#include "util/win32/Event.h"
#include "util/win32/LogFileReader.h"

using namespace ZintarUtil;
using ZintarServer::MessageFileServer;
using ZintarTest::ChildProcess;
using ZintarTest::kChildBound;
using ZintarTest::LogStoreNames;
using ZintarTest::LogStoreTest;
using ZintarTest::MessageWithKey;

namespace {

enum ReaderVerdict : int {
    kReaderGood = 0,
    kCountMismatch = 10,
    kKeysRise = 11,
    kBadRecord = 12,
    kSequenceRepeated = 13,
    kNothingRead = 14,
    kHeaderUnsound = 15,
};

// Reads snapshots and follows the log until `done` is signalled; checks every state it sees.
int CheckReads(LogFileReader& reader, Event& done)
{
    LogFollower follower;
    std::uint64_t generation = 0;
    std::uint64_t expectedSequence = 0;
    bool started = false;
    int reads = 0;
    while (!done.Wait(0) || reads < 2) {
        const LogSnapshot snapshot = reader.ReadSnapshot();
        ++reads;
        const FileHeader& h = snapshot.header;
        if (!IsSoundHeader(h, reader.ViewLength()))
            return kHeaderUnsound;
        if (snapshot.records.size() != static_cast<std::size_t>(h.messageCount))
            return kCountMismatch;
        RecordSequenceCheck check;
        for (const MessageRecord& record : snapshot.records) {
            if (!check.Accept(record))
                return SortKeyOf(record.message) > 0 && record.message.type < 4 ? kKeysRise : kBadRecord;
        }

        const FollowUpdate update = reader.Follow(follower);
        if (update.restarted || !started || follower.Generation() != generation) {
            started = true;
            generation = *follower.Generation();
            expectedSequence = follower.NextSequence();
            continue;
        }
        // Within a generation each new record carries the next number: none repeats or goes back.
        std::uint64_t sequence = expectedSequence + update.missed;
        for (const MessageRecord& record : update.messages) {
            if (record.sequence != sequence)
                return kSequenceRepeated;
            ++sequence;
        }
        expectedSequence = follower.NextSequence();
    }
    return reads > 0 ? kReaderGood : kNothingRead;
}

}  // namespace

ZINTAR_CHILD(ReadContinuously)
{
    LogFileReader reader(args.at(0));
    Event done(args.at(1), nullptr);
    return CheckReads(reader, done);
}

ZINTAR_CHILD(HoldReadAccess)
{
    LogFileReader reader(args.at(0));
    Event holding(args.at(1), nullptr);
    reader.GrabReadAccess();
    holding.SetSignal();
    Sleep(kChildBound);  // killed long before
    return 3;
}

ZINTAR_CHILD(ReadOnce)
{
    LogFileReader reader(args.at(0), 10000);
    const LogSnapshot snapshot = reader.ReadSnapshot();
    return snapshot.records.size() == std::stoul(args.at(1)) ? 0 : 1;
}

ZINTAR_CHILD(HoldWriteAccess)
{
    ZintarServer::ServiceSettings settings = ZintarTest::DefaultTestSettings(args.at(0), 50);
    Mutex settingsMutex;
    ZintarServer::MessageFileServer server(&settings, &settingsMutex);
    ZintarTest::OpenLogStore(server, LogStoreNames::FromArguments(args, 2));
    for (std::uint64_t key = 1; key <= 10; ++key)
        server.AddMessage(MessageWithKey(key));
    server.FlushWrites();
    Event holding(args.at(1), nullptr);
    server.GrabWriteAccess(InfiniteTimeout);
    holding.SetSignal();
    Sleep(kChildBound);  // killed long before
    return 3;
}

std::size_t CountOf(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class Locking : public LogStoreTest {
protected:
    void SetUp() override
    {
        LogStoreTest::SetUp();
        SetLogFile(logPath);
    }
    void TearDown() override
    {
        SetLogFile("");
        LogStoreTest::TearDown();
    }

    // A reader process takes read access and is killed while it holds it.
    void KillAReaderInsideReadAccess()
    {
        const std::string holdingName = ZintarTest::UniqueName("holding");
        Event holding(holdingName, nullptr);
        holding.RemoveSignal();
        ChildProcess reader("HoldReadAccess", {names.fileMap, holdingName});
        ASSERT_TRUE(holding.Wait(kChildBound));
        reader.Terminate();
    }

    const ZintarTest::TemporaryFile log{"locking-log"};
    const std::string& logPath = log.path;
};

TEST_F(Locking, ReadersInOtherProcessesNeverSeeATornState)
{
    Open(200);
    const std::string doneName = ZintarTest::UniqueName("done");
    Event done(doneName, nullptr);
    done.RemoveSignal();
    ChildProcess first("ReadContinuously", {names.fileMap, doneName});
    ChildProcess second("ReadContinuously", {names.fileMap, doneName});

    std::uint64_t state = 99;
    std::uint64_t clock = 1000;
    for (int flush = 0; flush < 400; ++flush) {
        const int batch = 1 + flush % 23;
        for (int i = 0; i < batch; ++i) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            clock += 5;
            // Now and then a message arrives late, which rewrites records already stored.
            const std::uint64_t lateness = (state >> 60) == 0 ? (state >> 40) % 400 : 0;
            server->AddMessage(MessageWithKey(clock - lateness));
        }
        server->FlushWrites();
    }
    done.SetSignal();
    EXPECT_EQ(first.WaitForExit(kChildBound), 0u);
    EXPECT_EQ(second.WaitForExit(kChildBound), 0u);
}

TEST_F(Locking, ReaderKilledInsideReadAccessIsOverriddenByTheNextFlush)
{
    Open(20);
    AddAndFlush({10});
    KillAReaderInsideReadAccess();

    // The first writer after the death is forced in after one budget at the most; the ones after
    // it (flushes and monitor cycles alike) no longer wait for the dead reader.
    for (std::uint64_t key = 20; key < 25; ++key)
        AddAndFlush({key});
    EXPECT_EQ(CountOf(ZintarTest::ReadWholeFile(logPath), " - File access rights timed out, forcing access.\r\n"), 1u);

    // Afterwards readers and the writer work as before, and no reader is counted.
    ChildProcess next("ReadOnce", {names.fileMap, "6"});
    EXPECT_EQ(next.WaitForExit(kChildBound), 0u);
    AddAndFlush({30});
    LogFileReader own(names.fileMap);
    EXPECT_EQ(own.ReadSnapshot().header.readCount, 1u);
    Close();
    EXPECT_EQ(HeaderOnDisk().readCount, 0u);
    EXPECT_EQ(HeaderOnDisk().messageCount, 7);
}

TEST_F(Locking, MonitorBudgetStartsAfterTheFlushItWaitedFor)
{
    // A cycle that queues behind a long write access still has its whole budget for the readers,
    // so with no reader inside it goes in without forcing anything.
    MessageFileServer& writer = Open(20);
    writer.GrabWriteAccess(InfiniteTimeout);
    Event queuing(ZintarTest::UniqueName("queuing"), nullptr);
    queuing.RemoveSignal();
    ZintarTest::BodyThread cycle([&](ZintarTest::BodyThread&) {
        queuing.SetSignal();
        writer.CycleWriteAccess(100);
        return 0u;
    });
    cycle.Start();
    // The cycle stays queued for three of its budgets: one counted from the call would run out.
    EXPECT_TRUE(queuing.Wait(kChildBound));
    EXPECT_FALSE(cycle.Finished().Wait(300));
    writer.ReleaseWriteAccess();
    EXPECT_TRUE(cycle.Join(InfiniteTimeout));
    EXPECT_EQ(ZintarTest::ReadWholeFile(logPath), "");
}

TEST_F(Locking, MonitorCycleFreesTheFileFromAReaderThatDied)
{
    Open(20);
    KillAReaderInsideReadAccess();
    // Without any flush, the monitor's next cycles force access and reset the count; a new reader
    // then gets in, and its snapshot counts only itself.
    LogFileReader own(names.fileMap, kChildBound);
    for (int attempt = 0; attempt < 300; ++attempt) {  // a minute at the most
        if (ZintarTest::ReadWholeFile(logPath).find("forcing access.") != std::string::npos)
            break;
        Sleep(200);
    }
    EXPECT_NE(ZintarTest::ReadWholeFile(logPath).find(" - File access rights timed out, forcing access.\r\n"),
              std::string::npos);
    EXPECT_LE(own.ReadSnapshot().header.readCount, 1u);
}

TEST_F(Locking, WriterKilledInsideWriteAccessDoesNotBlockTheNextWriter)
{
    const std::string holdingName = ZintarTest::UniqueName("holding");
    Event holding(holdingName, nullptr);
    holding.RemoveSignal();
    std::vector<std::string> args = {path, holdingName};
    for (const std::string& name : names.AsArguments())
        args.push_back(name);
    ChildProcess writer("HoldWriteAccess", args);
    ASSERT_TRUE(holding.Wait(kChildBound));
    // A client keeps the mapping and the shared objects alive across the writer's death.
    LogFileReader client(names.fileMap, 300);
    writer.Terminate();

    try {
        client.ReadSnapshot();
        FAIL() << "the reader got in although the dead writer held the file";
    } catch (const Exceptions::ExceptionBase& e) {
        EXPECT_EQ(e.GetFullMessage("\n").rfind("Failed to get message file read access", 0), 0u);
    }

    // The restarted writer takes the file over with its messages, and readers get in again.
    Open(50);
    EXPECT_EQ(HeaderOnDisk().messageCount, 10);
    EXPECT_EQ(client.ReadSnapshot().records.size(), 10u);
}

TEST_F(Locking, HeaderMutexLeftTakenByADeadWriterIsFreedByTheNextWriter)
{
    // What a writer killed between taking the header mutex and giving it back leaves behind: a
    // lock nobody will give back. The next writer frees it instead of waiting for it forever.
    Open(20);
    AddAndFlush({10});
    Close();
    Mutex leftTaken(names.headerMutex, nullptr);
    ASSERT_TRUE(leftTaken.Wait(0));
    Open(20);
    EXPECT_EQ(LogFileReader(names.fileMap).ReadSnapshot().records.size(), 1u);
}
