#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "tests/support/FaultGuardChecks.h"
#include "util/GuardedViewAccess.h"

using namespace ZintarUtil;

namespace {

// A two-page file, mapped, then cut to nothing: touching the mapping raises SIGBUS, the same
// fault a mapped log file gives when its pages cannot be brought in.
class VanishedMapping : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/zintar-fault-XXXXXX";
        fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        unlink(name);
        length = 2 * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        ASSERT_EQ(ftruncate(fd, static_cast<off_t>(length)), 0);
        view = static_cast<unsigned char*>(mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        ASSERT_NE(view, MAP_FAILED);
        ASSERT_EQ(ftruncate(fd, 0), 0);
    }
    void TearDown() override
    {
        munmap(view, length);
        close(fd);
    }

    int fd = -1;
    std::size_t length = 0;
    unsigned char* view = nullptr;
};

}  // namespace

TEST_F(VanishedMapping, ReadIsRetriedTenTimesThenReportedAsFileMapIO)
{
    int attempts = 0;
    volatile unsigned char sink = 0;
    try {
        GuardedViewAccess([&] {
            ++attempts;
            sink = view[length - 1];
        });
        FAIL() << "no exception";
    } catch (const Exceptions::ExceptionFileMapIO& e) {
        EXPECT_STREQ(e.what(), "Failed to access File Map View");
    }
    EXPECT_EQ(attempts, 10);
    (void)sink;
}

TEST_F(VanishedMapping, FileThatComesBackIsReadOnTheNextAttempt)
{
    int attempts = 0;
    unsigned char copy = 1;
    GuardedViewAccess([&] {
        if (++attempts == 3) {
            ASSERT_EQ(ftruncate(fd, static_cast<off_t>(length)), 0);
        }
        copy = view[0];
    });
    EXPECT_EQ(attempts, 3);
    EXPECT_EQ(copy, 0);
}

TEST(FaultGuard, BadAddressLeavesAsAccessViolationCode)
{
    // A page that may not be touched at all.
    const auto pageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* page = mmap(nullptr, pageSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    ZintarTest::ExpectReadLeavesAsAccessViolation(page);
    munmap(page, pageSize);
}
