#include <gtest/gtest.h>

#include "AutoHandle.h"

using ZintarUtil::AutoHandle;

namespace {

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

