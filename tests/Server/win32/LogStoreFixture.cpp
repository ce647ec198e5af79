#include "tests/Server/win32/LogStoreFixture.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "tests/support/TestFiles.h"
#include "tests/support/win32/ChildProcess.h"

namespace ZintarTest {

using ZintarServer::MessageFileServer;

LogStoreNames LogStoreNames::Unique()
{
    return {UniqueName("map"), UniqueName("header"), UniqueName("readwait"), UniqueName("writewait")};
}

LogStoreNames LogStoreNames::FromArguments(const std::vector<std::string>& args, std::size_t first)
{
    return {args.at(first), args.at(first + 1), args.at(first + 2), args.at(first + 3)};
}

ZintarServer::ServiceSettings DefaultTestSettings(const std::string& logFile, std::uint32_t maxMessage)
{
    ZintarServer::ServiceSettings settings;
    settings.logFile = logFile;
    settings.maxMessage = settings.requestedMaxMessage = maxMessage;
    for (bool& enabled : settings.typeEnabled)
        enabled = true;
    return settings;
}

void OpenLogStore(MessageFileServer& server, const LogStoreNames& names)
{
    server.OpenFile(names.fileMap, names.headerMutex, names.readWaitEvent, names.writeWaitEvent);
}

void LogStoreTest::SetUp()
{
    names = LogStoreNames::Unique();
    settings = DefaultTestSettings(path, 5);
}

void LogStoreTest::TearDown()
{
    server.reset();
}

MessageFileServer& LogStoreTest::Open(std::uint32_t maxMessage)
{
    server.reset();
    settings.maxMessage = settings.requestedMaxMessage = maxMessage;
    server = std::make_unique<MessageFileServer>(&settings, &settingsMutex);
    OpenLogStore(*server, names);
    return *server;
}

void LogStoreTest::Close()
{
    server->CloseFile(ZintarUtil::InfiniteTimeout);
    server.reset();
}

void LogStoreTest::AddAndFlush(std::initializer_list<std::uint64_t> keys)
{
    for (std::uint64_t key : keys)
        server->AddMessage(MessageWithKey(key));
    server->FlushWrites();
}

std::vector<unsigned char> LogStoreTest::FileBytes() const
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ZintarUtil::FileHeader LogStoreTest::HeaderOnDisk() const
{
    const std::vector<unsigned char> bytes = FileBytes();
    ZintarUtil::FileHeader header{};
    if (bytes.size() >= sizeof header)
        std::memcpy(&header, bytes.data(), sizeof header);
    return header;
}

ZintarUtil::MessageRecord LogStoreTest::RecordOnDisk(std::int32_t slot) const
{
    const std::vector<unsigned char> bytes = FileBytes();
    ZintarUtil::MessageRecord record{};
    const std::uint64_t offset = ZintarUtil::SlotOffset(slot);
    if (offset + sizeof record <= bytes.size())
        std::memcpy(&record, bytes.data() + offset, sizeof record);
    return record;
}

void LogStoreTest::WriteFile(const std::vector<unsigned char>& bytes) const
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint64_t> LogStoreTest::QueueKeys() const
{
    std::vector<std::uint64_t> keys;
    for (const ZintarServer::QueueEntry& entry : server->Queue().Entries())
        keys.push_back(entry.sortKey - kKeyBase);
    return keys;
}

}  // namespace ZintarTest
