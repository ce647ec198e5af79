// What the service says of the Zintar device over its life. At boot the service may start before
// the driver: it runs without the device, tries to open it at every poll, and says so once when
// it cannot and once when it appears, never at each poll in between. A driver stopped and started
// again leaves the service's handle reaching nothing: the read says so, the handle is closed, and
// the next poll opens the device anew.
#pragma once

#include <cstdint>

namespace ZintarServer {

class DeviceAvailability {
public:
    enum class Line { None, Missing, Appeared };

    // The outcome of one try to open the device, and the diagnostic line it calls for.
    Line OpenFailed();
    Line Opened();
    // A read that failed with the Windows error `error`. True, with the state Missing and one
    // line to write, when the handle no longer reaches a driver: 5 (what a handle of a driver
    // that was unloaded gets), 6, or a device that went away (2, 21, 55, 1167, 1617). False for
    // "nothing to give" (259) and every other error, which end the poll's drain as before.
    bool ReadFailed(std::uint32_t error);

private:
    enum class State { NeverTried, Missing, Open };
    State state = State::NeverTried;
};

}  // namespace ZintarServer
