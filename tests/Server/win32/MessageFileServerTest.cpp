#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "tests/Server/win32/LogStoreFixture.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win32/ChildProcess.h"
#include "util/Exceptions.h"
#include "util/win32/LogFileReader.h"

using namespace ZintarUtil;
using ZintarTest::LogImage;
using ZintarTest::LogStoreTest;
using ZintarTest::MessageWithKey;

namespace {

std::uint64_t KeyOf(const MessageRecord& record)
{
    return ZintarTest::KeyOf(record.message);
}

}  // namespace

class OpenDecisions : public LogStoreTest {
protected:
    // A sound image of `capacity` slots holding `keys` oldest first, as an earlier run with the
    // test's lock names left it.
    LogImage Image(std::int32_t capacity, std::initializer_list<std::uint64_t> keys) const
    {
        LogImage image(capacity);
        image.Header().generation = 7;
        image.Header().updateCount = 11;
        std::strcpy(image.Names().headerMutexName, names.headerMutex.c_str());
        std::strcpy(image.Names().readWaitEventName, names.readWaitEvent.c_str());
        std::strcpy(image.Names().writeWaitEventName, names.writeWaitEvent.c_str());
        for (std::uint64_t key : keys)
            image.Append(MessageWithKey(key));
        return image;
    }
};

// What the writer makes of the file it finds, and that a flush then appends to what it kept.
TEST_F(OpenDecisions, Table)
{
    using Bytes = std::vector<unsigned char>;
    struct Case {
        const char* name;
        std::optional<Bytes> image;  // nothing: no file
        std::int32_t limit;
        std::vector<std::uint64_t> slotKeys;   // from slot 0
        std::vector<std::uint64_t> sequences;  // kept records keep theirs
        std::uint64_t generation;
    };
    LogImage broken = Image(5, {10, 20, 30});
    broken.Slot(1).message.type = 7;
    Bytes cut = Image(5, {10, 20, 30, 40, 50}).Bytes();
    cut.resize(SlotOffset(3) + 100);
    LogImage tornHeader = Image(5, {10, 20, 30});
    tornHeader.Header().capacity = -1;
    LogImage wrapped = Image(3, {5, 10, 20, 30});  // a ring that has wrapped: nextSlot 1
    const Case cases[] = {
        {"no file", std::nullopt, 5, {}, {}, 2},
        {"empty file", Bytes{}, 4, {}, {}, 2},
        {"sound, same limit: kept, one more generation", Image(5, {10, 20, 30}).Bytes(), 5, {10, 20, 30}, {0, 1, 2}, 8},
        {"lowered limit keeps the newest", Image(5, {10, 20, 30, 40, 50}).Bytes(), 3, {30, 40, 50}, {2, 3, 4}, 8},
        {"raised limit keeps all, oldest first", wrapped.Bytes(), 5, {10, 20, 30}, {1, 2, 3}, 8},
        {"one broken record: the others are kept, two generations on", broken.Bytes(), 5, {10, 30}, {0, 2}, 9},
        {"cut in the middle of a record: the whole ones are kept", cut, 5, {10, 20, 30}, {0, 1, 2}, 9},
        {"a torn header over whole records", tornHeader.Bytes(), 4, {10, 20, 30}, {0, 1, 2}, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.reset();
        std::remove(path.c_str());
        if (c.image)
            WriteFile(*c.image);
        Open(c.limit);
        const auto count = static_cast<std::int32_t>(c.slotKeys.size());
        EXPECT_EQ(FileBytes().size(), std::size_t(c.limit) * 560u + 240u);
        FileHeader header = HeaderOnDisk();
        EXPECT_EQ(header.capacity, c.limit);
        EXPECT_EQ(header.messageCount, count);
        EXPECT_EQ(header.nextSlot, count % c.limit);
        EXPECT_EQ(header.readCount, 0u);
        EXPECT_EQ(header.serverRunning, 1);
        EXPECT_EQ(header.generation, c.generation);
        EXPECT_EQ(header.nextSequence, count == 0 ? 0 : c.sequences.back() + 1);
        for (std::int32_t slot = 0; slot < count; ++slot) {
            EXPECT_EQ(KeyOf(RecordOnDisk(slot)), c.slotKeys[slot]);
            EXPECT_EQ(RecordOnDisk(slot).sequence, c.sequences[slot]);
        }
        EXPECT_EQ(QueueKeys(), std::vector<std::uint64_t>(c.slotKeys.rbegin(), c.slotKeys.rend()));
        LockNames lockNames;
        std::memcpy(&lockNames, FileBytes().data() + kLockNamesOffset, sizeof lockNames);
        EXPECT_EQ(std::string(lockNames.headerMutexName), names.headerMutex);
        EXPECT_EQ(std::string(lockNames.writeWaitEventName), names.writeWaitEvent);

        AddAndFlush({1000});
        header = HeaderOnDisk();
        EXPECT_EQ(header.messageCount, std::min(count + 1, c.limit));
        EXPECT_EQ(KeyOf(RecordOnDisk(NewestFirstSlot(header.nextSlot, c.limit, 0))), 1000u);
    }
}

// A file of another program, or one whose lock names are gone, is refused and left as it was, or
// moved aside for a new log file; never written into.
TEST_F(OpenDecisions, AFileThatIsNotALogFileIsNeverWrittenInto)
{
    using Bytes = std::vector<unsigned char>;
    Bytes garbage(5 * 560 + 240);
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<unsigned char>(i * 7919 + 13);
    LogImage otherNames = Image(5, {10, 20});
    std::strcpy(otherNames.Names().headerMutexName, "Global\\SomebodyElse");
    const std::pair<const char*, Bytes> files[] = {
        {"garbage", garbage}, {"a short stub", Bytes(30, 0xFF)}, {"a log of other lock names", otherNames.Bytes()}};
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        WriteFile(bytes);
        settings.maxMessage = 5;
        server = std::make_unique<ZintarServer::MessageFileServer>(&settings, &settingsMutex);
        EXPECT_THROW(ZintarTest::OpenLogStore(*server, names), Exceptions::ExceptionBase);
        EXPECT_EQ(FileBytes(), bytes);

        server->OpenFileAt(path, names.fileMap, names.headerMutex, names.readWaitEvent, names.writeWaitEvent,
                           ZintarServer::MessageFileServer::ForeignFile::SetAside);
        EXPECT_EQ(HeaderOnDisk().messageCount, 0);
        EXPECT_EQ(HeaderOnDisk().generation, 2u);
        server.reset();
        WIN32_FIND_DATAA found;
        const HANDLE search = FindFirstFileA((path + ".damaged-*").c_str(), &found);
        ASSERT_NE(search, INVALID_HANDLE_VALUE);
        FindClose(search);
        const std::string aside = path.substr(0, path.find_last_of('\\') + 1) + found.cFileName;
        EXPECT_EQ(ZintarTest::ReadWholeFile(aside), std::string(bytes.begin(), bytes.end()));
        std::remove(aside.c_str());
        std::remove(path.c_str());
    }
}

TEST_F(OpenDecisions, LimitOutsideTheStorableRangeIsRefused)
{
    settings.maxMessage = 0;
    server = std::make_unique<ZintarServer::MessageFileServer>(&settings, &settingsMutex);
    EXPECT_THROW(ZintarTest::OpenLogStore(*server, names), Exceptions::ExceptionBase);
    settings.maxMessage = kMaxCapacity + 1;
    EXPECT_THROW(ZintarTest::OpenLogStore(*server, names), Exceptions::ExceptionBase);
}

TEST_F(OpenDecisions, AClientHoldingAShorterMappingFailsTheOpenInsteadOfBeingWrittenPast)
{
    Open(5);
    AddAndFlush({1, 2});
    const HANDLE held = OpenFileMappingA(FILE_MAP_READ, FALSE, names.fileMap.c_str());
    ASSERT_NE(held, nullptr);
    Close();
    settings.maxMessage = 5000;
    server = std::make_unique<ZintarServer::MessageFileServer>(&settings, &settingsMutex);
    EXPECT_THROW(ZintarTest::OpenLogStore(*server, names), Exceptions::ExceptionBase);
    CloseHandle(held);
    ZintarTest::OpenLogStore(*server, names);
    EXPECT_EQ(HeaderOnDisk().capacity, 5000);
    EXPECT_EQ(HeaderOnDisk().messageCount, 2);
}

TEST_F(OpenDecisions, AnEventThatCannotBeClosedIsReportedNotFatal)
{
    struct Probe : ZintarServer::MessageFileServer {
        using MessageFileServer::MessageFileServer;
        HANDLE ReadWaitEventHandle() const { return readWaitEvent->Handle(); }
    };
    Probe probe(&settings, &settingsMutex);
    ZintarTest::OpenLogStore(probe, names);
    CloseHandle(probe.ReadWaitEventHandle());  // behind its back
    EXPECT_THROW(probe.MessageFile::CloseFile(), Exceptions::ExceptionBase);
}

using Flushing = LogStoreTest;

TEST_F(Flushing, ClientReaderSeesWhatWasFlushedNewestFirst)
{
    Open(4);
    AddAndFlush({10, 20, 30, 40, 50});
    LogFileReader reader(names.fileMap);
    const LogSnapshot snapshot = reader.ReadSnapshot();
    ASSERT_EQ(snapshot.records.size(), 4u);
    EXPECT_EQ(KeyOf(snapshot.records[0]), 50u);
    EXPECT_EQ(KeyOf(snapshot.records[3]), 20u);
    EXPECT_EQ(snapshot.header.readCount, 1u);  // the reader itself
    EXPECT_EQ(snapshot.header.serverRunning, 1);
}

TEST_F(Flushing, EachFlushPublishesItsChange)
{
    // The monitor may publish a queued change before the flush does (its release also adds 1
    // when a change awaits), so a flush is only known to raise the count, not by how much.
    Open(10);
    const std::uint64_t before = HeaderOnDisk().updateCount;
    AddAndFlush({10});
    const std::uint64_t afterFirst = HeaderOnDisk().updateCount;
    EXPECT_GT(afterFirst, before);
    AddAndFlush({20});
    const std::uint64_t afterSecond = HeaderOnDisk().updateCount;
    EXPECT_GT(afterSecond, afterFirst);
    server->FlushWrites();  // nothing pending: nothing touched, and no change awaits
    EXPECT_EQ(HeaderOnDisk().updateCount, afterSecond);
}

TEST_F(Flushing, FollowerGetsEveryMessageOnceAcrossRewrites)
{
    Open(6);
    LogFileReader reader(names.fileMap);
    LogFollower follower;
    std::vector<std::uint64_t> seen;
    auto poll = [&] {
        const FollowUpdate update = reader.Follow(follower);
        if (update.restarted)
            seen.clear();
        for (const MessageRecord& record : update.messages)
            seen.push_back(KeyOf(record));
    };
    poll();
    AddAndFlush({10, 20});
    poll();
    AddAndFlush({30});
    poll();
    AddAndFlush({15});  // displaces 20 and 30: a new generation
    poll();
    AddAndFlush({40});
    poll();
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{10, 15, 20, 30, 40}));
}

TEST_F(Flushing, CloseMarksTheFileStoppedWithoutReadersAndAReopenContinuesItsSequence)
{
    Open(8);
    AddAndFlush({10, 20});
    Close();
    const FileHeader header = HeaderOnDisk();
    EXPECT_EQ(header.serverRunning, 0);
    EXPECT_EQ(header.readCount, 0u);
    EXPECT_EQ(header.messageCount, 2);
    Open(8);
    AddAndFlush({30});
    EXPECT_EQ(RecordOnDisk(2).sequence, 2u);
    EXPECT_EQ(HeaderOnDisk().nextSequence, 3u);
}

TEST_F(Flushing, WaitForFileFreeReturnsWhenNobodyHoldsTheFile)
{
    Open(3);
    Close();
    server = std::make_unique<ZintarServer::MessageFileServer>(&settings, &settingsMutex);
    Timeout budget(ZintarTest::kChildBound);
    EXPECT_TRUE(server->WaitForFileFree(budget));
    EXPECT_FALSE(budget.Expired());
    std::remove(path.c_str());
    EXPECT_TRUE(server->WaitForFileFree(budget));
}

TEST_F(Flushing, WaitForFileFreeGivesUpAfterItsBudgetWhileTheFileIsHeld)
{
    Open(3);
    Close();
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    server = std::make_unique<ZintarServer::MessageFileServer>(&settings, &settingsMutex);
    Timeout budget(200);
    EXPECT_TRUE(server->WaitForFileFree(budget));
    EXPECT_TRUE(budget.Expired());
    CloseHandle(holder);
}
