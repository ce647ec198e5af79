// What the service control manager says of an installed service, for the tools' status commands.
#pragma once

#include <windows.h>

#include <string>

#include "util/ServiceState.h"

namespace ZintarUtil::Services {

struct ServiceQuery {
    using State = ServiceState;
    State state = State::Unknown;
    std::string text;  // "running", "not installed", "unknown (error 5)", ...
};

ServiceQuery QueryServiceState(const std::string& serviceName);

}  // namespace ZintarUtil::Services
