// The write queue, the ring it writes and a follower reading it, checked against the model over
// many arrival orders: late, equal and in-order keys, rings of 1 to 16 slots, batches larger than
// the ring, flushes that fail half-way and are repeated, polls at any moment.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/QueueModel.h"

TEST(WriteQueue, ModelHoldsOverRandomArrivals)
{
    std::mt19937 random(20261206);
    for (int run = 0; run < 400; ++run) {
        std::vector<std::uint8_t> steps(1 + random() % 300);
        for (std::uint8_t& step : steps)
            step = static_cast<std::uint8_t>(random());
        const std::string broken = ZintarTest::RunQueueModel(steps.data(), steps.size());
        ASSERT_EQ(broken, "") << "run " << run;
    }
}
