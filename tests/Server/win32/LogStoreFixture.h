// A log file of the test's own: a path in the temporary directory, kernel object names no other
// test uses, settings and their mutex, and helpers to look at the bytes on disk.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Server/ServiceSettings.h"
#include "Server/win32/MessageFileServer.h"
#include "tests/support/LogImageBuilder.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win32/BodyThread.h"
#include "tests/support/win32/ChildProcess.h"
#include "util/LogFileFormat.h"
#include "util/win32/Event.h"
#include "util/win32/Mutex.h"
#include "util/win32/Thread.h"

namespace ZintarTest {

struct LogStoreNames {
    std::string fileMap;
    std::string headerMutex;
    std::string readWaitEvent;
    std::string writeWaitEvent;

    static LogStoreNames Unique();
    std::vector<std::string> AsArguments() const { return {fileMap, headerMutex, readWaitEvent, writeWaitEvent}; }
    static LogStoreNames FromArguments(const std::vector<std::string>& args, std::size_t first);
};

ZintarServer::ServiceSettings DefaultTestSettings(const std::string& logFile, std::uint32_t maxMessage);

// Opens `server` under `names`.
void OpenLogStore(ZintarServer::MessageFileServer& server, const LogStoreNames& names);

class LogStoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A writer on the test's file with the given limit.
    ZintarServer::MessageFileServer& Open(std::uint32_t maxMessage);
    void Close();
    void AddAndFlush(std::initializer_list<std::uint64_t> keys);

    std::vector<unsigned char> FileBytes() const;
    ZintarUtil::FileHeader HeaderOnDisk() const;
    ZintarUtil::MessageRecord RecordOnDisk(std::int32_t slot) const;
    void WriteFile(const std::vector<unsigned char>& bytes) const;
    std::vector<std::uint64_t> QueueKeys() const;

    const TemporaryFile file{"Logs"};
    const std::string& path = file.path;
    LogStoreNames names;
    ZintarServer::ServiceSettings settings;
    ZintarUtil::Mutex settingsMutex;
    std::unique_ptr<ZintarServer::MessageFileServer> server;
};

}  // namespace ZintarTest
