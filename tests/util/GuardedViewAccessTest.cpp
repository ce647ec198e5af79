#include "util/GuardedViewAccess.h"

#include <gtest/gtest.h>

#include <vector>

using namespace ZintarUtil;

// The retry rule over scripted attempts: in-page errors are retried, the tenth becomes
// ExceptionFileMapIO, any other fault leaves at once as its code.
TEST(RetryViewAccess, Table)
{
    enum Outcome { kCompletes, kFileMapIO, kFaultCode };
    struct Case {
        const char* name;
        std::vector<std::uint32_t> script;  // attempt results; after the script every attempt succeeds
        std::size_t calls;
        Outcome outcome;
    };
    const Case cases[] = {
        {"success at once", {}, 1, kCompletes},
        {"nine in-page errors", std::vector<std::uint32_t>(9, kInPageError), 10, kCompletes},
        {"ten in-page errors", std::vector<std::uint32_t>(10, kInPageError), 10, kFileMapIO},
        {"another fault after a retry", {kInPageError, kAccessViolation}, 2, kFaultCode},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t calls = 0;
        Outcome outcome = kCompletes;
        try {
            RetryViewAccess(
                [&]() -> std::uint32_t { return calls < c.script.size() ? c.script[calls++] : (++calls, 0u); });
        } catch (const Exceptions::ExceptionFileMapIO& e) {
            outcome = kFileMapIO;
            EXPECT_EQ(e.GetFullMessage("\n"), "Failed to access File Map View");
        } catch (std::uint32_t code) {
            outcome = kFaultCode;
            EXPECT_EQ(code, kAccessViolation);
        }
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(outcome, c.outcome);
    }
}

TEST(RetryViewAccess, TheBodyRunsOnceAndItsExceptionsPassUnchanged)
{
    int runs = 0;
    GuardedViewAccess([&] { ++runs; });
    EXPECT_EQ(runs, 1);
    EXPECT_THROW(GuardedViewAccess([] { throw Exceptions::ExceptionBase("from the body"); }),
                 Exceptions::ExceptionBase);
    GuardedViewAccess([&] { ++runs; });  // the guard was left in order
    EXPECT_EQ(runs, 2);
}
