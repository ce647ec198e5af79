// The installed service as the timing programs under Windows (or Wine) drive it.
#pragma once

#include <windows.h>

#include "BenchClock.h"
#include "ZintarNames.h"

namespace ZintarBench {

// The state the service control manager reports for the service.
inline DWORD ServiceState()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, ZintarUtil::kServiceName, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    QueryServiceStatus(service, &status);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status.dwCurrentState;
}

// Starts (SERVICE_RUNNING) or stops (SERVICE_STOPPED) the service and waits, at most 30 s, for
// that state: the milliseconds it took, or a negative number when it did not come.
inline double ControlServiceAndWait(DWORD desired)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, ZintarUtil::kServiceName, SERVICE_START | SERVICE_STOP);
    SERVICE_STATUS status{};
    if (desired == SERVICE_RUNNING)
        StartServiceA(service, 0, nullptr);
    else
        ControlService(service, SERVICE_CONTROL_STOP, &status);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    const double start = Now();
    while (ServiceState() != desired) {
        if (Now() - start > 30)
            return -1;
        Sleep(10);
    }
    return (Now() - start) * 1000;
}

}  // namespace ZintarBench
