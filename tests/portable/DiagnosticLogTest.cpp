#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "DiagnosticLog.h"
#include "TestFiles.h"

using namespace ZintarUtil;

namespace {

std::tm SampleTime()
{
    std::tm time{};
    time.tm_year = 2026 - 1900;
    time.tm_mon = 11;
    time.tm_mday = 5;
    time.tm_wday = 6;
    time.tm_hour = 8;
    time.tm_min = 4;
    time.tm_sec = 9;
    return time;
}

// Every test writes to its own file and leaves the process-wide name empty again.
class DiagnosticLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = ZintarTest::TemporaryPath("diagnostic-log");
        std::remove(path.c_str());
    }
    void TearDown() override
    {
        SetLogFile("");
        std::remove(path.c_str());
    }

    std::string path;
};

}  // namespace

TEST(DiagnosticLog, AsctimeFormIsEnglishWithTwoDigitDay)
{
    EXPECT_EQ(FormatAsctime(SampleTime()), "Sat Dec 05 08:04:09 2026");
}

TEST(DiagnosticLog, EntryIsTimeLineThenDashAndText)
{
    EXPECT_EQ(ComposeLogEntry(SampleTime(), "Thread ended"), "Sat Dec 05 08:04:09 2026\n - Thread ended\n");
}

TEST_F(DiagnosticLogTest, EntriesAreAppendedWithCarriageReturnLineFeeds)
{
    SetLogFile(path);
    WriteLog("first");
    WriteLog("two\nlines");
    const std::string content = ZintarTest::ReadWholeFile(path);
    // Two entries: 2 + 3 lines, every one ended by CR LF and none by a bare LF.
    std::size_t lines = 0;
    for (std::size_t i = 0; i < content.size(); ++i) {
        if (content[i] == '\n') {
            ++lines;
            ASSERT_GT(i, 0u);
            EXPECT_EQ(content[i - 1], '\r');
        }
    }
    EXPECT_EQ(lines, 5u);
    EXPECT_NE(content.find("\r\n - first\r\n"), std::string::npos);
    EXPECT_NE(content.find("\r\n - two\r\nlines\r\n"), std::string::npos);
    EXPECT_EQ(content.find(" - first"), 24u + 2u);
}

TEST_F(DiagnosticLogTest, WithoutANameNothingIsWritten)
{
    WriteLog("lost");
    SetLogFile("");
    WriteLog("lost too");
    EXPECT_EQ(ZintarTest::ReadWholeFile(path), "");
}

TEST_F(DiagnosticLogTest, DeletedFileIsStartedAnew)
{
    SetLogFile(path);
    WriteLog("before");
    ASSERT_EQ(std::remove(path.c_str()), 0);
    WriteLog("after");
    const std::string content = ZintarTest::ReadWholeFile(path);
    EXPECT_EQ(content.find("before"), std::string::npos);
    EXPECT_NE(content.find(" - after\r\n"), std::string::npos);
}
