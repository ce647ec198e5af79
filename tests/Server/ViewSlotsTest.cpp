// The slots of a mapped ring: a copy reaches only whole slots inside the view, whatever slot a
// header names, and a refused one says which operation failed and why.
#include "Server/ViewSlots.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "util/Exceptions.h"

using namespace ZintarUtil;

TEST(ViewSlots, CopiesOnlyWholeSlotsInsideTheView)
{
    // Memory for four slots, of which a view shows at most three.
    std::vector<unsigned char> memory(SlotOffset(4), 0);
    const std::uint64_t threeSlots = SlotOffset(3);
    MessageRecord record{};
    record.sequence = 42;
    const struct {
        const char* name;
        std::uint64_t viewLength;
        std::int32_t slot;
        bool inside;
    } cases[] = {
        {"first", threeSlots, 0, true},
        {"last, ending where the view ends", threeSlots, 2, true},
        {"last, cut short by a byte", threeSlots - 1, 2, false},
        {"just past the view", threeSlots, 3, false},
        {"negative", threeSlots, -1, false},
        {"far beyond", threeSlots, INT_MAX, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ZintarServer::ViewSlots slots(memory.data(), c.viewLength, "Failed to copy");
        MessageRecord back{};
        if (c.inside) {
            slots.Write(c.slot, record);
            slots.Read(c.slot, back);
            EXPECT_EQ(back.sequence, 42u);
            continue;
        }
        try {
            slots.Write(c.slot, record);
            ADD_FAILURE() << "written outside the view";
        } catch (const Exceptions::ExceptionBase& e) {
            EXPECT_EQ(e.GetFullMessage(" / "),
                      "Failed to copy / The log file's header describes slots beyond the mapped file");
        }
        EXPECT_THROW(slots.Read(c.slot, back), Exceptions::ExceptionBase);
    }
    const auto zero = [](unsigned char b) { return b == 0; };
    EXPECT_TRUE(std::all_of(memory.begin(), memory.begin() + kSlotsOffset, zero));
    EXPECT_TRUE(std::all_of(memory.begin() + threeSlots, memory.end(), zero));
}
