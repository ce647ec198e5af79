#include "Server/DeviceAvailability.h"

namespace ZintarServer {

DeviceAvailability::Line DeviceAvailability::OpenFailed()
{
    const bool first = state != State::Missing;
    state = State::Missing;
    return first ? Line::Missing : Line::None;
}

bool DeviceAvailability::ReadFailed(std::uint32_t error)
{
    switch (error) {
    case 2:     // ERROR_FILE_NOT_FOUND
    case 5:     // ERROR_ACCESS_DENIED
    case 6:     // ERROR_INVALID_HANDLE
    case 21:    // ERROR_NOT_READY
    case 55:    // ERROR_DEV_NOT_EXIST
    case 1167:  // ERROR_DEVICE_NOT_CONNECTED
    case 1617:  // ERROR_DEVICE_REMOVED
        state = State::Missing;
        return true;
    default:
        return false;
    }
}

DeviceAvailability::Line DeviceAvailability::Opened()
{
    const bool appeared = state == State::Missing;
    state = State::Open;
    return appeared ? Line::Appeared : Line::None;
}

}  // namespace ZintarServer
