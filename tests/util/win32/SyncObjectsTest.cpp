#include <gtest/gtest.h>

#include <functional>

#include "tests/support/win32/ChildProcess.h"
#include "util/Exceptions.h"
#include "util/win32/Event.h"
#include "util/win32/Mutex.h"
#include "util/win32/Overlap.h"
#include "util/win32/WaitFunctions.h"

using namespace ZintarUtil;
using Exceptions::ExceptionBase;
using ZintarTest::ChildProcess;
using ZintarTest::kChildBound;

namespace {

std::string FullMessageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const ExceptionBase& e) {
        return e.GetFullMessage("\n");
    }
    return "(no exception)";
}

}  // namespace

// --- the throw-on-failure functions ----------------------------------------------------------

TEST(WaitFunctions, MultipleWaitResultsAreMappedAsDocumented)
{
    EXPECT_EQ(InterpretMultipleWaitResult(WAIT_TIMEOUT, 3), 0xFFFFFFFFu);
    EXPECT_EQ(InterpretMultipleWaitResult(0, 3), 0u);
    EXPECT_EQ(InterpretMultipleWaitResult(1, 3), 1u);
    EXPECT_EQ(InterpretMultipleWaitResult(2, 3), 2u);
    for (DWORD abandoned : {0x80u, 0x81u, 0x82u})
        EXPECT_EQ(FullMessageOf([&] { InterpretMultipleWaitResult(abandoned, 3); }),
                  "WaitForMultipleObjects is waiting for an abandonned mutex");
}

TEST(WaitFunctions, FailuresCarryTheWindowsCode)
{
    try {
        WaitForSingleObjectOrThrow(reinterpret_cast<HANDLE>(0x12345), 0);
        FAIL() << "no exception";
    } catch (const Exceptions::ExceptionWindows& e) {
        EXPECT_EQ(e.ErrorCode(), 6u);
        EXPECT_EQ(e.GetMessageText().rfind("WaitForSingleObject failed - Error code : 6 - ", 0), 0u);
    }
    EXPECT_THROW(SetEventOrThrow(nullptr), Exceptions::ExceptionWindows);
    EXPECT_THROW(ResetEventOrThrow(nullptr), Exceptions::ExceptionWindows);
    EXPECT_THROW(CloseHandleOrThrow(reinterpret_cast<HANDLE>(0x12345)), Exceptions::ExceptionWindows);
}

// --- Event -------------------------------------------------------------------------------------

ZINTAR_CHILD(ReportEventState)
{
    Event event(args.at(0), nullptr);
    return event.Wait(0) ? 1 : 0;
}

TEST(Event, NamedEventIsSeenInTheSameStateByAnotherProcess)
{
    const std::string name = ZintarTest::UniqueName("shared-event");
    Event event(name, nullptr);
    event.RemoveSignal();
    {
        ChildProcess child("ReportEventState", {name});
        EXPECT_EQ(child.WaitForExit(kChildBound), 0u);
    }
    event.SetSignal();
    {
        ChildProcess child("ReportEventState", {name});
        EXPECT_EQ(child.WaitForExit(kChildBound), 1u);
    }
    // Opening it did not reset it.
    EXPECT_TRUE(event.Wait(0));
}

// --- Mutex -------------------------------------------------------------------------------------

TEST(Mutex, AccessThatTimesOutStillOwnsAndFreesOnDestruction)
{
    Mutex mutex;
    ASSERT_TRUE(mutex.Wait(0));  // somebody else holds it
    {
        Timeout timeout(0);
        Mutex::Access access(mutex, timeout);
        EXPECT_TRUE(access.Owned());
        EXPECT_TRUE(timeout.Expired());
    }
    EXPECT_TRUE(mutex.Wait(0));  // the access object signalled it
    mutex.Release();
}

TEST(Mutex, SharedBudgetShrinksAcrossNestedWaits)
{
    Mutex first;
    Mutex second;
    ASSERT_TRUE(second.Wait(0));
    Timeout timeout(300);
    Mutex::Access a(first, timeout);
    EXPECT_FALSE(timeout.Expired());
    Mutex::Access b(second, timeout);  // runs out waiting for the held lock
    EXPECT_TRUE(timeout.Expired());
    EXPECT_TRUE(b.Owned());
}

ZINTAR_CHILD(TakeMutexWithBudget)
{
    Mutex mutex(args.at(0), nullptr);
    Timeout timeout(200);
    Mutex::Access access(mutex, timeout);
    return access.Owned() && timeout.Expired() ? 0 : 1;
}

TEST(Mutex, HeldInOneProcessAnotherTimesOutOwningIt)
{
    const std::string name = ZintarTest::UniqueName("mutex");
    Mutex mutex(name, nullptr);
    ASSERT_TRUE(mutex.Wait(0));
    ChildProcess child("TakeMutexWithBudget", {name});
    EXPECT_EQ(child.WaitForExit(kChildBound), 0u);
    // The child's expired access counted itself owner and signalled the lock when it went.
    EXPECT_TRUE(mutex.Wait(0));
}

ZINTAR_CHILD(TakeMutexAndDie)
{
    Mutex mutex(args.at(0), nullptr);
    Event taken(args.at(1), nullptr);
    Mutex::Access access(mutex, InfiniteTimeout);
    taken.SetSignal();
    Sleep(kChildBound);  // killed long before
    return 3;
}

TEST(Mutex, HolderKilledLeavesTheLockTakenUntilForced)
{
    const std::string name = ZintarTest::UniqueName("mutex-killed");
    const std::string takenName = ZintarTest::UniqueName("taken");
    Mutex mutex(name, nullptr);
    Event taken(takenName, nullptr);
    taken.RemoveSignal();
    ChildProcess holder("TakeMutexAndDie", {name, takenName});
    ASSERT_TRUE(taken.Wait(kChildBound));
    holder.Terminate();
    EXPECT_FALSE(mutex.Wait(0));  // no owning thread: the death of the holder frees nothing
    Timeout budget(100);
    Mutex::Access forced(mutex, budget);
    EXPECT_TRUE(budget.Expired());
    EXPECT_TRUE(forced.Release());
    EXPECT_TRUE(mutex.Wait(0));
}

// --- Overlap -----------------------------------------------------------------------------------

TEST(Overlap, CancelledWaitReturnsTimeoutAtOnceUntilReset)
{
    Overlap overlap;
    overlap.Cancel();
    EXPECT_EQ(overlap.Wait(kChildBound), static_cast<std::uint32_t>(WAIT_TIMEOUT));
    EXPECT_EQ(overlap.Wait(kChildBound), static_cast<std::uint32_t>(WAIT_TIMEOUT));
    overlap.Reset();
    EXPECT_EQ(overlap.Wait(0), static_cast<std::uint32_t>(WAIT_TIMEOUT));
}

TEST(Overlap, CompletionWinsOverCancellationAndGivesTheStatus)
{
    Overlap overlap;
    overlap.GetOverlapped()->Internal = 0xC000014B;  // as the system leaves a broken pipe
    SetEvent(overlap.GetOverlapped()->hEvent);
    overlap.Cancel();
    EXPECT_EQ(overlap.Wait(0), 0xC000014Bu);
}
