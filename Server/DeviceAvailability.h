// What the service says of the Zintar device over its life. At boot the service may start before
// the driver: it runs without the device, tries to open it at every poll, and says so once when
// it cannot and once when it appears, never at each poll in between.
#pragma once

namespace ZintarServer {

class DeviceAvailability {
public:
    enum class Line { None, Missing, Appeared };

    // The outcome of one try to open the device, and the diagnostic line it calls for.
    Line OpenFailed();
    Line Opened();

private:
    enum class State { NeverTried, Missing, Open };
    State state = State::NeverTried;
};

}  // namespace ZintarServer
