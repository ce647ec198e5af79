#include <gtest/gtest.h>

#include <vector>

#include "GuardedViewAccess.h"

using namespace ZintarUtil;

namespace {

// Replays a list of attempt results; after the list, every attempt succeeds.
class ScriptedAttempts {
public:
    explicit ScriptedAttempts(std::vector<std::uint32_t> results) : results(std::move(results)) {}

    std::uint32_t operator()()
    {
        const std::uint32_t result = calls < results.size() ? results[calls] : 0;
        ++calls;
        return result;
    }

    std::size_t calls = 0;

private:
    std::vector<std::uint32_t> results;
};

}  // namespace

TEST(RetryViewAccess, SuccessAtOnceRunsTheBodyOnce)
{
    ScriptedAttempts attempts({});
    RetryViewAccess(std::ref(attempts));
    EXPECT_EQ(attempts.calls, 1u);
}

TEST(RetryViewAccess, InPageErrorsAreRetriedUntilTheBodyCompletes)
{
    ScriptedAttempts attempts(std::vector<std::uint32_t>(9, kInPageError));
    RetryViewAccess(std::ref(attempts));
    EXPECT_EQ(attempts.calls, 10u);
}

TEST(RetryViewAccess, TenthInPageErrorBecomesFileMapIO)
{
    ScriptedAttempts attempts(std::vector<std::uint32_t>(10, kInPageError));
    try {
        RetryViewAccess(std::ref(attempts));
        FAIL() << "no exception";
    } catch (const Exceptions::ExceptionFileMapIO& e) {
        EXPECT_EQ(e.GetFullMessage("\n"), "Failed to access File Map View");
        EXPECT_EQ(e.Inner(), nullptr);
    }
    EXPECT_EQ(attempts.calls, 10u);
}

TEST(RetryViewAccess, OtherFaultsPassAtOnceAsTheirCode)
{
    ScriptedAttempts attempts({kInPageError, kAccessViolation});
    try {
        RetryViewAccess(std::ref(attempts));
        FAIL() << "no exception";
    } catch (std::uint32_t code) {
        EXPECT_EQ(code, kAccessViolation);
    }
    EXPECT_EQ(attempts.calls, 2u);
}

TEST(RetryViewAccess, GuardedBodyThatCompletesRunsOnce)
{
    int runs = 0;
    GuardedViewAccess([&] { ++runs; });
    EXPECT_EQ(runs, 1);
}

TEST(RetryViewAccess, CppExceptionsFromTheBodyPassUnchanged)
{
    EXPECT_THROW(GuardedViewAccess([] { throw Exceptions::ExceptionBase("from the body"); }),
                 Exceptions::ExceptionBase);
    // The guard is left in order: a later body still runs normally.
    int runs = 0;
    GuardedViewAccess([&] { ++runs; });
    EXPECT_EQ(runs, 1);
}
