#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "tests/support/TestFiles.h"
#include "tests/support/win32/BodyThread.h"
#include "tests/support/win32/ChildProcess.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/win32/Event.h"
#include "util/win32/Thread.h"
#include "util/win32/Timer.h"

using namespace ZintarUtil;
using ZintarTest::BodyThread;
using ZintarTest::kChildBound;

namespace {

// Records each call; can throw on a chosen call.
class CountingCallback : public TimerCallback {
public:
    void OnTimer(std::uint32_t id) override
    {
        lastId = id;
        const int call = ++calls;
        if (call == throwOnCall)
            throw Exceptions::ExceptionBase("callback failed");
        if (called)
            called->SetSignal();
    }

    std::atomic<int> calls{0};
    std::atomic<std::uint32_t> lastId{0};
    int throwOnCall = 0;
    Event* called = nullptr;
};

class LoggedFailure : public ::testing::Test {
protected:
    void SetUp() override { SetLogFile(logPath); }
    void TearDown() override { SetLogFile(""); }
    const ZintarTest::TemporaryFile log{"thread-log"};
    const std::string& logPath = log.path;
};

}  // namespace

TEST(Thread, JoinWithoutBudgetOnARunningThreadIsFalseAndASecondStartFails)
{
    std::atomic<int> runs{0};
    BodyThread thread([&](BodyThread& self) {
        ++runs;
        while (!self.StopRequested())
            Sleep(1);
        return 0u;
    });
    thread.Start();
    Timeout none(0);
    EXPECT_FALSE(thread.Join(none));
    // The run a join gave up on goes on: a second one beside it would share every member.
    EXPECT_THROW(thread.Start(), Exceptions::ExceptionBase);
    thread.Stop();
    Timeout bound(kChildBound);
    EXPECT_TRUE(thread.Join(bound));
    EXPECT_EQ(runs.load(), 1);
}

TEST(Thread, RunThatEndsAtOnceIsJoinedAndCanStartAgain)
{
    std::atomic<int> runs{0};
    BodyThread thread([&](BodyThread&) {
        ++runs;
        return 7u;
    });
    thread.Stop();  // a stop before Start has no lasting effect
    thread.Start();
    Timeout bound(kChildBound);
    EXPECT_TRUE(thread.Join(bound));
    thread.Start();
    Timeout again(kChildBound);
    EXPECT_TRUE(thread.Join(again));
    EXPECT_EQ(runs.load(), 2);
}

TEST_F(LoggedFailure, RunThatThrowsIsLoggedWithTheWholeChain)
{
    BodyThread thread([](BodyThread&) -> std::uint32_t {
        const Exceptions::ExceptionWindows cause("CloseHandle() failed:", nullptr, 6);
        throw Exceptions::ExceptionBase("Failed to destroy Event object", &cause);
    });
    thread.Start();
    Timeout bound(kChildBound);
    ASSERT_TRUE(thread.Join(bound));
    const std::string log = ZintarTest::ReadWholeFile(logPath);
    EXPECT_NE(log.find(" - Thread terminated due to unhandled exception : Exception occured during thread Run()\r\n"
                       "Failed to destroy Event object\r\nCloseHandle() failed: - Error code : 6 - "),
              std::string::npos)
        << log;
}

TEST_F(LoggedFailure, UnknownExceptionIsLoggedAsSuch)
{
    BodyThread thread([](BodyThread& self) -> std::uint32_t {
        self.Finished().SetSignal();
        throw 42;
    });
    thread.Start();
    // This path does no clean-up: the handle stays recorded, and Join still sees the thread end,
    // which is after its log entry.
    Timeout bound(kChildBound);
    ASSERT_TRUE(thread.Join(bound));
    EXPECT_NE(
        ZintarTest::ReadWholeFile(logPath).find(" - Thread terminated due to an unknown, unhandled exception.\r\n"),
        std::string::npos);
}

TEST(Timer, CallsBackWithItsIdUntilStopped)
{
    Event called(ZintarTest::UniqueName("called"), nullptr);
    called.RemoveSignal();
    CountingCallback callback;
    callback.called = &called;
    Timer timer(7, "Test");
    timer.SetCallback(&callback);
    timer.SetPeriod(10);
    timer.Start();
    ASSERT_TRUE(called.Wait(kChildBound));
    EXPECT_EQ(callback.lastId.load(), 7u);
    timer.Stop();
    Timeout bound(kChildBound);
    ASSERT_TRUE(timer.Join(bound));
    const int calls = callback.calls;
    Sleep(50);
    EXPECT_EQ(callback.calls.load(), calls);
}

TEST(Timer, StopDuringALongPauseEndsItWithoutACall)
{
    CountingCallback callback;
    Timer timer(1, "Long");
    timer.SetCallback(&callback);
    timer.SetPeriod(600000);
    timer.Start();
    Sleep(100);
    timer.Stop();
    Timeout bound(kChildBound);  // far below the period: only the one-second steps end it
    EXPECT_TRUE(timer.Join(bound));
    EXPECT_EQ(callback.calls.load(), 0);
}

TEST(Timer, ShorterPeriodSetDuringALongPauseTakesEffectAtTheNextStep)
{
    Event called(ZintarTest::UniqueName("called"), nullptr);
    called.RemoveSignal();
    CountingCallback callback;
    callback.called = &called;
    Timer timer(2, "Shortened");
    timer.SetCallback(&callback);
    timer.SetPeriod(600000);
    timer.Start();
    Sleep(100);
    timer.SetPeriod(200);
    EXPECT_TRUE(called.Wait(kChildBound));  // far below the first period
}

TEST_F(LoggedFailure, CallbackThatThrowsEndsTheTimerThread)
{
    CountingCallback callback;
    callback.throwOnCall = 2;
    Timer timer(3, "Failing");
    timer.SetCallback(&callback);
    timer.SetPeriod(1);
    timer.Start();
    Timeout bound(kChildBound);
    EXPECT_TRUE(timer.Join(bound));
    EXPECT_EQ(callback.calls.load(), 2);
    EXPECT_NE(ZintarTest::ReadWholeFile(logPath).find("Exception occured during thread Run()\r\ncallback failed"),
              std::string::npos);
}

TEST(Timer, DestroyingARunningTimerWaitsForItsThread)
{
    CountingCallback callback;
    int callsAtDestruction = 0;
    {
        Timer timer(4, "Destroyed");
        timer.SetCallback(&callback);
        timer.SetPeriod(1);
        timer.Start();
        Sleep(20);
        callsAtDestruction = callback.calls;
    }
    const int afterDestruction = callback.calls;
    Sleep(20);
    EXPECT_EQ(callback.calls.load(), afterDestruction);
    EXPECT_GE(afterDestruction, callsAtDestruction);
}
