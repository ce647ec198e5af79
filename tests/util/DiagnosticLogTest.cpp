#include "util/DiagnosticLog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

#include "tests/support/TestFiles.h"
#include "util/LogThrottle.h"

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
    void TearDown() override
    {
        SetLogFile("");
        std::remove(OlderLogFileName(path).c_str());
    }

    const ZintarTest::TemporaryFile log{"diagnostic-log"};
    const std::string& path = log.path;
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

// One text at most once a second, the count of those left out carried by the next one written;
// other texts are never held back; the table of kinds stays bounded.
TEST(LogThrottle, OneTextAtMostOnceASecondWithTheCountLeftOut)
{
    struct Step {
        const char* text;
        std::int64_t now;
        std::optional<std::uint64_t> admitted;
    };
    const Step steps[] = {
        {"refused", 0, 0},    {"refused", 10, std::nullopt},
        {"other", 20, 0},     {"refused", 999, std::nullopt},
        {"refused", 1000, 2}, {"refused", 1500, std::nullopt},
        {"refused", 5000, 1}, {"refused", 4000, 0},  // a clock that went back never silences
    };
    LogThrottle throttle;
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.text) + " at " + std::to_string(step.now));
        EXPECT_EQ(throttle.Admit(step.text, step.now), step.admitted);
    }
    for (std::size_t i = 0; i < LogThrottle::kMaxKinds + 10; ++i)
        EXPECT_EQ(throttle.Admit("text " + std::to_string(i), 6000), 0u);
}

TEST_F(DiagnosticLogTest, AFullLogBecomesTheOlderCopy)
{
    SetLogFile(path);
    {
        std::ofstream full(path, std::ios::binary);
        full << std::string(kLogRotationBytes, 'x');
    }
    WriteLog("after the rotation");
    EXPECT_EQ(ZintarTest::ReadWholeFile(OlderLogFileName(path)).size(), kLogRotationBytes);
    EXPECT_NE(ZintarTest::ReadWholeFile(path).find(" - after the rotation"), std::string::npos);
}
