#include <gtest/gtest.h>

#include <cstring>

#include "ChildProcess.h"
#include "Exceptions.h"
#include "LogFileReader.h"
#include "LogStoreFixture.h"

using namespace ZintarUtil;
using ZintarTest::LogImage;
using ZintarTest::LogStoreTest;
using ZintarTest::MessageWithKey;

namespace {

// A sound image of `capacity` slots holding `keys` oldest first, as an earlier run left it.
std::vector<unsigned char> SoundImage(std::int32_t capacity, std::initializer_list<std::uint64_t> keys)
{
    LogImage image(capacity);
    image.Header().generation = 7;
    image.Header().updateCount = 11;
    for (std::uint64_t key : keys)
        image.Append(MessageWithKey(key));
    return image.Bytes();
}

std::uint64_t KeyOf(const MessageRecord& record)
{
    return SortKeyOf(record.message);
}

}  // namespace

using OpenDecisions = LogStoreTest;

TEST_F(OpenDecisions, NoFileGivesAFreshEmptyRingOfExactLength)
{
    Open(5);
    EXPECT_EQ(FileBytes().size(), 5u * 560u + 240u);
    const FileHeader header = HeaderOnDisk();
    EXPECT_EQ(header.readCount, 0u);
    EXPECT_EQ(header.serverRunning, 1);
    EXPECT_EQ(header.messageCount, 0);
    EXPECT_EQ(header.capacity, 5);
    EXPECT_EQ(header.nextSlot, 0);
    EXPECT_EQ(header.updateCount, 2u);
    EXPECT_EQ(header.generation, 2u);
    EXPECT_EQ(header.nextSequence, 0u);
    const std::vector<unsigned char> bytes = FileBytes();
    LockNames lockNames;
    std::memcpy(&lockNames, bytes.data() + kLockNamesOffset, sizeof lockNames);
    EXPECT_EQ(std::string(lockNames.headerMutexName), names.headerMutex);
    EXPECT_EQ(std::string(lockNames.readWaitEventName), names.readWaitEvent);
    EXPECT_EQ(std::string(lockNames.writeWaitEventName), names.writeWaitEvent);
}

TEST_F(OpenDecisions, EmptyFileIsFormattedLikeANewOne)
{
    WriteFile({});
    Open(4);
    EXPECT_EQ(FileBytes().size(), 4u * 560u + 240u);
    EXPECT_EQ(HeaderOnDisk().generation, 2u);
}

TEST_F(OpenDecisions, SoundFileOfTheRightLengthIsKeptWithOneMoreGeneration)
{
    WriteFile(SoundImage(5, {10, 20, 30}));
    const MessageRecord before = RecordOnDisk(1);
    Open(5);
    const FileHeader header = HeaderOnDisk();
    EXPECT_EQ(header.messageCount, 3);
    EXPECT_EQ(header.nextSlot, 3);
    EXPECT_EQ(header.generation, 8u);
    EXPECT_EQ(header.updateCount, 11u);
    EXPECT_EQ(header.nextSequence, 3u);
    const MessageRecord after = RecordOnDisk(1);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_EQ(QueueKeys(), (std::vector<std::uint64_t>{30, 20, 10}));
}

TEST_F(OpenDecisions, LoweredLimitKeepsTheNewestRecords)
{
    WriteFile(SoundImage(5, {10, 20, 30, 40, 50}));
    Open(3);
    EXPECT_EQ(FileBytes().size(), 3u * 560u + 240u);
    const FileHeader header = HeaderOnDisk();
    EXPECT_EQ(header.capacity, 3);
    EXPECT_EQ(header.messageCount, 3);
    EXPECT_EQ(header.nextSlot, 0);
    EXPECT_EQ(KeyOf(RecordOnDisk(0)), 30u);
    EXPECT_EQ(KeyOf(RecordOnDisk(1)), 40u);
    EXPECT_EQ(KeyOf(RecordOnDisk(2)), 50u);
    EXPECT_EQ(RecordOnDisk(2).sequence, 4u);  // records move unchanged
    EXPECT_EQ(QueueKeys(), (std::vector<std::uint64_t>{50, 40, 30}));
}

TEST_F(OpenDecisions, RaisedLimitKeepsEveryRecordOldestFirst)
{
    LogImage wrapped(3);
    for (std::uint64_t key : {5, 10, 20, 30})
        wrapped.Append(MessageWithKey(key));  // a ring that has wrapped: nextSlot 1
    WriteFile(wrapped.Bytes());
    Open(5);
    EXPECT_EQ(FileBytes().size(), 5u * 560u + 240u);
    const FileHeader header = HeaderOnDisk();
    EXPECT_EQ(header.capacity, 5);
    EXPECT_EQ(header.messageCount, 3);
    EXPECT_EQ(header.nextSlot, 3);
    EXPECT_EQ(KeyOf(RecordOnDisk(0)), 10u);
    EXPECT_EQ(KeyOf(RecordOnDisk(1)), 20u);
    EXPECT_EQ(KeyOf(RecordOnDisk(2)), 30u);
    AddAndFlush({40});
    EXPECT_EQ(KeyOf(RecordOnDisk(3)), 40u);
}

TEST_F(OpenDecisions, OneBrokenRecordMeansAReformat)
{
    std::vector<unsigned char> bytes = SoundImage(5, {10, 20, 30});
    bytes[SlotOffset(1) + offsetof(MessageRecord, message) + offsetof(LogMessage, type)] = 7;
    WriteFile(bytes);
    Open(5);
    EXPECT_EQ(HeaderOnDisk().messageCount, 0);
    EXPECT_EQ(HeaderOnDisk().generation, 2u);
    EXPECT_TRUE(QueueKeys().empty());
}

TEST_F(OpenDecisions, FileCutInTheMiddleOfARecordIsReformattedWithoutReadingPastItsEnd)
{
    std::vector<unsigned char> bytes = SoundImage(5, {10, 20, 30, 40, 50});
    bytes.resize(SlotOffset(3) + 100);
    WriteFile(bytes);
    Open(5);
    EXPECT_EQ(FileBytes().size(), 5u * 560u + 240u);
    EXPECT_EQ(HeaderOnDisk().messageCount, 0);
    EXPECT_EQ(HeaderOnDisk().capacity, 5);
}

TEST_F(OpenDecisions, GarbageHeaderIsReformatted)
{
    std::vector<unsigned char> bytes(5 * 560 + 240);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 7919 + 13);
    WriteFile(bytes);
    Open(5);
    const FileHeader header = HeaderOnDisk();
    EXPECT_EQ(header.messageCount, 0);
    EXPECT_EQ(header.capacity, 5);
    EXPECT_EQ(header.nextSlot, 0);
    AddAndFlush({1, 2});
    EXPECT_EQ(HeaderOnDisk().messageCount, 2);
}

TEST_F(OpenDecisions, ShortStubOfAFileIsReformatted)
{
    WriteFile(std::vector<unsigned char>(30, 0xFF));
    Open(2);
    EXPECT_EQ(FileBytes().size(), 2u * 560u + 240u);
    EXPECT_EQ(HeaderOnDisk().capacity, 2);
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

TEST_F(Flushing, RefusedMessagesLeaveNoTrace)
{
    Open(10);
    settings.typeEnabled[0] = false;
    server->AddMessage(MessageWithKey(10));
    EXPECT_EQ(server->Queue().PendingCount(), 0);
    EXPECT_TRUE(QueueKeys().empty());
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

TEST_F(Flushing, CloseLeavesTheFileMarkedClosedWithoutReaders)
{
    Open(3);
    AddAndFlush({10});
    Close();
    const FileHeader header = HeaderOnDisk();
    EXPECT_EQ(header.serverRunning, 0);
    EXPECT_EQ(header.readCount, 0u);
    EXPECT_EQ(header.messageCount, 1);
}

TEST_F(Flushing, ReopenedFileContinuesItsSequence)
{
    Open(8);
    AddAndFlush({10, 20});
    Close();
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

