#include "util/win32/ServiceDrive.h"

#include <algorithm>

#include "util/Exceptions.h"
#include "util/Timeout.h"
#include "util/win32/ServiceControlManager.h"

namespace ZintarUtil::Services {

using Exceptions::ExceptionWindows;

namespace {

bool Pending(DWORD state)
{
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
           state == SERVICE_PAUSE_PENDING;
}

// The answers that mean "not now": the service is between states, or got there meanwhile. Wine
// answers a stop asked of a starting service that does not accept one with 1052 where Windows
// answers 1061.
bool NotNow(DWORD error)
{
    return error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL || error == ERROR_SERVICE_ALREADY_RUNNING ||
           error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_SERVICE_DATABASE_LOCKED ||
           error == ERROR_INVALID_SERVICE_CONTROL;
}

}  // namespace

DriveOutcome DriveService(const std::string& name, ServiceRequest request, std::uint32_t timeoutMs,
                          std::uint32_t pollMs)
{
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        throw ExceptionWindows("OpenSCManager() failed");
    const ServiceHandle service(
        OpenServiceA(manager.Get(), name.c_str(), SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service)
        throw ExceptionWindows("OpenService() failed");
    const bool start = request == ServiceRequest::Start;
    const DWORD wanted = start ? SERVICE_RUNNING : SERVICE_STOPPED;
    Timeout budget(timeoutMs);
    bool started = false;  // a start was taken: STOPPED from now on means it ended again
    DriveOutcome outcome;
    for (;;) {
        if (!QueryServiceStatus(service.Get(), &outcome.status))
            throw ExceptionWindows("QueryServiceStatus() failed");
        const DWORD state = outcome.status.dwCurrentState;
        if (state == wanted)
            return {DriveOutcome::End::Reached, outcome.status};
        if (start && started && state == SERVICE_STOPPED)
            return {DriveOutcome::End::StoppedAfterStart, outcome.status};
        if (!Pending(state)) {
            SERVICE_STATUS answer{};
            const BOOL taken = start ? StartServiceA(service.Get(), 0, nullptr)
                                     : ControlService(service.Get(), SERVICE_CONTROL_STOP, &answer);
            const DWORD error = GetLastError();
            if (!taken && !NotNow(error))
                throw ExceptionWindows(start ? "StartService() failed" : "ControlService() failed", nullptr, error);
            started = started || (start && taken);
            if (taken)
                continue;  // look at the state it took at once
        }
        if (budget.Expired())
            return outcome;
        Sleep(std::min(pollMs, budget.Remaining()));
    }
}

}  // namespace ZintarUtil::Services
