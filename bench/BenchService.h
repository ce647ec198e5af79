// The installed service as the timing programs under Windows (or Wine) drive it.
#pragma once

#include <windows.h>

#include "bench/BenchClock.h"
#include "util/ZintarNames.h"
#include "util/win32/ServiceDrive.h"
#include "util/win32/ServiceQuery.h"

namespace ZintarBench {

using ZintarUtil::Services::ServiceRequest;

inline bool ServiceRunning()
{
    return ZintarUtil::Services::QueryServiceState(ZintarUtil::kServiceName).state ==
           ZintarUtil::Services::ServiceQuery::State::Running;
}

// Starts or stops the service and waits, at most 30 s, for RUNNING or STOPPED, looking every
// 10 ms: the milliseconds it took, or a negative number when the state did not come.
inline double ControlServiceAndWait(ServiceRequest request)
{
    using ZintarUtil::Services::DriveOutcome;
    const double start = Now();
    const DriveOutcome outcome = ZintarUtil::Services::DriveService(ZintarUtil::kServiceName, request, 30000, 10);
    return outcome.end == DriveOutcome::End::Reached ? (Now() - start) * 1000 : -1;
}

}  // namespace ZintarBench
