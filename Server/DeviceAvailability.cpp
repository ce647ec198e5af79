#include "DeviceAvailability.h"

namespace ZintarServer {

DeviceAvailability::Line DeviceAvailability::OpenFailed()
{
    const bool first = state != State::Missing;
    state = State::Missing;
    return first ? Line::Missing : Line::None;
}

DeviceAvailability::Line DeviceAvailability::Opened()
{
    const bool appeared = state == State::Missing;
    state = State::Open;
    return appeared ? Line::Appeared : Line::None;
}

}  // namespace ZintarServer
