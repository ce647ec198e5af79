// The connect budget shared among a name's addresses, walked as the connection walks them: each
// address either drops every packet (waits out its share), fails at once, or answers after a
// while.
#include "tools/zintar-forward/ConnectBudget.h"

#include <gtest/gtest.h>

#include <vector>

using namespace ZintarForward;

namespace {

constexpr std::uint32_t kDrops = 0xFFFFFFFF;  // an address whose route drops packets
constexpr std::uint32_t kFails = 0;           // refused or unreachable at once

struct Walk {
    int connected = -1;      // the index of the address that answered, -1 none
    std::uint32_t used = 0;  // ms of the budget spent
};

Walk Connect(const std::vector<std::uint32_t>& answersAfter, std::uint32_t budget)
{
    Walk walk;
    for (std::size_t i = 0; i < answersAfter.size() && walk.used < budget; ++i) {
        const std::uint32_t share = AddressShare(budget - walk.used, answersAfter.size() - i - 1);
        const std::uint32_t answer = answersAfter[i];
        if (answer != kDrops && answer != kFails && answer <= share) {
            walk.used += answer;
            walk.connected = static_cast<int>(i);
            return walk;
        }
        walk.used += answer == kFails ? 0 : share;
    }
    return walk;
}

}  // namespace

TEST(ConnectBudget, EveryAddressGetsItsShareAndTheLastWhatIsLeft)
{
    struct Case {
        const char* name;
        std::vector<std::uint32_t> answersAfter;
        std::uint32_t budget;
        Walk expected;
    };
    const Case cases[] = {
        {"one address has the whole budget", {9000}, 10000, {0, 9000}},
        {"an IPv6 address that drops, then 127.0.0.1", {kDrops, 1}, 10000, {1, 5001}},
        {"a refusal hands its share on", {kFails, 9000}, 10000, {1, 9000}},
        {"a slow first address within its share", {4000, 1}, 10000, {0, 4000}},
        {"a slow first address past its share", {6000, 1}, 10000, {1, 5001}},
        {"three that drop use the budget up", {kDrops, kDrops, kDrops}, 9000, {-1, 9000}},
        {"two that drop and one that answers", {kDrops, kDrops, 1}, 9000, {2, 6001}},
        {"many addresses: never less than 2 s each",
         {kDrops, kDrops, kDrops, kDrops, kDrops, kDrops, 1},
         10000,
         {-1, 10000}},
        {"a share is never more than what is left", {kDrops, 500}, 1500, {-1, 1500}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Walk walk = Connect(c.answersAfter, c.budget);
        EXPECT_EQ(walk.connected, c.expected.connected);
        EXPECT_EQ(walk.used, c.expected.used);
    }
}
