#include <gtest/gtest.h>

#include <vector>

#include "DeviceAvailability.h"

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
    for (const auto& steps : sequences) {
        DeviceAvailability availability;
        for (std::size_t i = 0; i < steps.size(); ++i)
            EXPECT_EQ(steps[i].opened ? availability.Opened() : availability.OpenFailed(), steps[i].line) << i;
    }
}
