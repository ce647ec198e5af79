// How a start waits for the clients of an earlier run to let go of the log file. A client that
// still maps it keeps the old section alive under the mapping's name, and keeps the file from
// shrinking; it lets go as soon as it sees serverRunning 0. The start looks again every kPoll ms
// within kBudget, unless a stop has asked it not to wait: a stop (a shutdown above all) never
// waits behind clients.
//
// Cancel is safe from any thread; Pause runs on the thread that opens the log file.
#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "util/Timeout.h"

namespace ZintarServer {

class ClientReleaseWait {
public:
    static constexpr std::uint32_t kBudget = 15000;
    static constexpr std::uint32_t kPoll = 100;

    // For the rest of this object's life.
    void Cancel() { cancelled = true; }

    // Between two tries that a client still holding the file defeated: false once `budget` is
    // spent or a stop was asked for, else a short pause. Keeps the thread's last error for the
    // failure to report.
    bool Pause(ZintarUtil::Timeout& budget) const
    {
        if (budget.Expired() || cancelled)
            return false;
        const DWORD error = GetLastError();
        Sleep(std::min(kPoll, budget.Remaining()));
        SetLastError(error);
        return true;
    }

private:
    std::atomic<bool> cancelled{false};
};

}  // namespace ZintarServer
