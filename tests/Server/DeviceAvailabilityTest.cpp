#include "Server/DeviceAvailability.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

using ZintarServer::DeviceAvailability;

TEST(DeviceAvailability, OneLineWhenTheDeviceIsMissingAndOneWhenItAppears)
{
    using Line = DeviceAvailability::Line;
    struct Step {
        bool opened;
        Line line;
    };
    const std::vector<std::vector<Step>> sequences = {
        {{true, Line::None}, {true, Line::None}},  // the device there from the start: nothing to say
        {{false, Line::Missing}, {false, Line::None}, {false, Line::None}, {true, Line::Appeared}, {true, Line::None}},
        {{true, Line::None}, {false, Line::Missing}, {true, Line::Appeared}},  // gone at a restart, back later
    };
    const std::vector<std::pair<std::uint32_t, bool>> readErrors = {{259, false}, {1, false}, {5, true}, {1617, true}};
    for (const auto& steps : sequences) {
        DeviceAvailability availability;
        for (std::size_t i = 0; i < steps.size(); ++i)
            EXPECT_EQ(steps[i].opened ? availability.Opened() : availability.OpenFailed(), steps[i].line) << i;
    }
    // A handle that stopped reaching the driver (it was stopped and started): one line, and the
    // reopening says the device is back; running out of messages is no loss.
    for (const auto& [error, lost] : readErrors) {
        DeviceAvailability availability;
        availability.Opened();
        EXPECT_EQ(availability.ReadFailed(error), lost) << error;
        EXPECT_EQ(availability.OpenFailed(), lost ? Line::None : Line::Missing) << error;
        EXPECT_EQ(availability.Opened(), Line::Appeared) << error;
    }
}
