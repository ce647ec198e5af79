#include <gtest/gtest.h>

#include <windows.h>

#include "tests/support/FaultGuardChecks.h"
#include "util/GuardedViewAccess.h"

using namespace ZintarUtil;

// Under Windows the guard is a vectored exception handler that resumes the guarded frame. A real
// in-page error needs a failing disk, so the tests raise the same exception code in software; the
// access violation is a real one.

TEST(FaultGuard, InPageErrorEveryTimeEndsInFileMapIOAfterTenAttempts)
{
    int attempts = 0;
    try {
        GuardedViewAccess([&] {
            ++attempts;
            RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 0, nullptr);
        });
        FAIL() << "no exception";
    } catch (const Exceptions::ExceptionFileMapIO& e) {
        EXPECT_STREQ(e.what(), "Failed to access File Map View");
    }
    EXPECT_EQ(attempts, 10);
}

TEST(FaultGuard, PassingInPageErrorIsRetried)
{
    int attempts = 0;
    GuardedViewAccess([&] {
        if (++attempts < 4)
            RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 0, nullptr);
    });
    EXPECT_EQ(attempts, 4);
}

TEST(FaultGuard, AccessViolationLeavesAsItsCode)
{
    void* page = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(page, nullptr);
    ZintarTest::ExpectReadLeavesAsAccessViolation(page);
    VirtualFree(page, 0, MEM_RELEASE);
}

TEST(FaultGuard, NestedGuardsEachCatchTheirOwnFaults)
{
    int inner = 0;
    int outer = 0;
    GuardedViewAccess([&] {
        ++outer;
        GuardedViewAccess([&] {
            if (++inner < 2)
                RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 0, nullptr);
        });
    });
    EXPECT_EQ(outer, 1);
    EXPECT_EQ(inner, 2);
}
