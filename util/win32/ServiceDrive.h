// Starts or stops an installed service and waits, bounded, until it is running or stopped: what
// `install` and `remove` do around a service that may be busy. A service in a pending state is
// waited out before it is asked anything (a stop asked of a service that is still starting or
// already stopping is refused with 1061, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, and a start asked of
// one that is still stopping with 1056), and such an answer that races with the state is waited
// out and asked again, never taken for a failure.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace ZintarUtil::Services {

enum class ServiceRequest { Start, Stop };

struct DriveOutcome {
    enum class End { Reached, StoppedAfterStart, TimedOut };
    End end = End::TimedOut;
    SERVICE_STATUS status{};  // the last one seen: its exit codes after StoppedAfterStart
};

inline constexpr std::uint32_t kServicePollMs = 100;

// Asks the service `name` for `request` and waits at most `timeoutMs` for RUNNING (a start) or
// STOPPED (a stop), looking every `pollMs` (a timing program looks more often). Throws
// ExceptionWindows when the manager refuses ("OpenService() failed", "StartService() failed",
// "ControlService() failed", ...).
DriveOutcome DriveService(const std::string& name, ServiceRequest request, std::uint32_t timeoutMs,
                          std::uint32_t pollMs = kServicePollMs);

}  // namespace ZintarUtil::Services
