#include "util/win32/AutoHandle.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "util/win32/UniqueResource.h"

using ZintarUtil::AutoHandle;

namespace {

constexpr DWORD kCloseError = 4321;

// A stand-in kind of handle: numbers, 0 for none. Every close is recorded and leaves an error of
// its own on the thread; closing an odd number fails.
struct RecordedTraits {
    using Type = int;
    static inline std::vector<int> closed;
    static Type Empty() noexcept { return 0; }
    static bool IsEmpty(Type value) noexcept { return value == 0; }
    static bool Close(Type value) noexcept
    {
        closed.push_back(value);
        SetLastError(kCloseError);
        return value % 2 == 0;
    }
};
using Recorded = ZintarUtil::UniqueResource<RecordedTraits>;

HANDLE NewEvent()
{
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

bool IsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

}  // namespace

TEST(AutoHandle, EmptyAndNullValuesStayEmptyWithoutACall)
{
    AutoHandle empty;
    EXPECT_TRUE(empty.IsInvalid());
    SetLastError(1234);
    HANDLE null = nullptr;
    AutoHandle fromNull(null);
    HANDLE invalid = INVALID_HANDLE_VALUE;
    AutoHandle fromInvalid(invalid);
    EXPECT_TRUE(fromNull.IsInvalid());
    EXPECT_TRUE(fromInvalid.IsInvalid());
    EXPECT_EQ(GetLastError(), 1234u);  // still tells why the handle was missing
}

TEST(AutoHandle, TakeKeepsADuplicateAndClosesTheOriginal)
{
    HANDLE raw = NewEvent();
    AutoHandle owned(raw);
    ASSERT_TRUE(owned.IsValid());
    EXPECT_TRUE(IsOpen(owned.Get()));
    // The duplicate works on the same event.
    EXPECT_TRUE(SetEvent(owned.Get()));
    owned.Close();
    EXPECT_TRUE(owned.IsInvalid());
}

TEST(AutoHandle, CopyIsAnIndependentHandleToTheSameObject)
{
    HANDLE raw = NewEvent();
    AutoHandle original(raw);
    AutoHandle copy(original);
    ASSERT_TRUE(copy.IsValid());
    EXPECT_NE(copy.Get(), original.Get());
    original.Close();
    EXPECT_TRUE(SetEvent(copy.Get()));
    EXPECT_EQ(WaitForSingleObject(copy.Get(), 0), WAIT_OBJECT_0);
}

TEST(AutoHandle, AssigningTheHeldValueDoesNothing)
{
    HANDLE raw = NewEvent();
    AutoHandle owned(raw);
    const HANDLE held = owned.Get();
    owned = held;
    EXPECT_EQ(owned.Get(), held);
    EXPECT_TRUE(IsOpen(held));
}

TEST(UniqueResource, EveryValueIsClosedOnceAndTheLastErrorSurvives)
{
    RecordedTraits::closed.clear();
    SetLastError(1234);
    {
        Recorded first(2);
        Recorded second(std::move(first));
        EXPECT_FALSE(first);
        Recorded third(4);
        third = std::move(second);  // closes 4
        third.Reset(6);             // closes 2
        *third.Put() = 8;           // closes 6
        Recorded handedOut(10);
        EXPECT_EQ(handedOut.Release(), 10);
    }  // closes 8
    EXPECT_EQ(RecordedTraits::closed, (std::vector<int>{4, 2, 6, 8}));
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(UniqueResource, CloseReportsAFailureWithItsErrorAndKeepsTheValue)
{
    RecordedTraits::closed.clear();
    Recorded refused(3);
    EXPECT_FALSE(refused.Close());
    EXPECT_EQ(GetLastError(), kCloseError);
    EXPECT_EQ(refused.Release(), 3);
    Recorded taken(4);
    EXPECT_TRUE(taken.Close());
    EXPECT_FALSE(taken);
    EXPECT_TRUE(taken.Close());  // nothing left to close
    EXPECT_EQ(RecordedTraits::closed, (std::vector<int>{3, 4}));
}
