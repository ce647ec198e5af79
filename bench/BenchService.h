// The installed service as the timing programs under Windows (or Wine) drive it.
#pragma once

#include <windows.h>

#include "bench/BenchClock.h"
#include "util/ZintarNames.h"
#include "util/win32/ServiceControlManager.h"

namespace ZintarBench {

using ZintarUtil::Services::ServiceHandle;

// The state the service control manager reports for the service.
inline DWORD ServiceState()
{
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(OpenServiceA(manager.Get(), ZintarUtil::kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    QueryServiceStatus(service.Get(), &status);
    return status.dwCurrentState;
}

// Asks for the start (SERVICE_RUNNING) or the stop (SERVICE_STOPPED) of the service; does not wait.
inline void AskForState(DWORD desired)
{
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(OpenServiceA(manager.Get(), ZintarUtil::kServiceName, SERVICE_START | SERVICE_STOP));
    SERVICE_STATUS status{};
    if (desired == SERVICE_RUNNING)
        StartServiceA(service.Get(), 0, nullptr);
    else
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
}

// Starts (SERVICE_RUNNING) or stops (SERVICE_STOPPED) the service and waits, at most 30 s, for
// that state: the milliseconds it took, or a negative number when it did not come.
inline double ControlServiceAndWait(DWORD desired)
{
    AskForState(desired);
    const double start = Now();
    while (ServiceState() != desired) {
        if (Now() - start > 30)
            return -1;
        Sleep(10);
    }
    return (Now() - start) * 1000;
}

}  // namespace ZintarBench
