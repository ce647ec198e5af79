// The fault guard's answer to a real access violation, the same on every platform.
#pragma once

#include <gtest/gtest.h>

#include "util/GuardedViewAccess.h"

namespace ZintarTest {

// A read of `page`, which may not be touched at all, leaves the guard as the access violation's code.
inline void ExpectReadLeavesAsAccessViolation(const void* page)
{
    const volatile unsigned char* nowhere = static_cast<const unsigned char*>(page);
    volatile unsigned char sink = 0;
    try {
        ZintarUtil::GuardedViewAccess([&] { sink = *nowhere; });
        FAIL() << "no exception";
    } catch (std::uint32_t code) {
        EXPECT_EQ(code, ZintarUtil::kAccessViolation);
    }
    (void)sink;
}

}  // namespace ZintarTest
