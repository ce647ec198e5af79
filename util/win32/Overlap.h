// What one overlapped pipe operation needs: its OVERLAPPED with a completion event, and a
// cancellation event through which another thread aborts the wait.
#pragma once

#include <windows.h>

#include <cstdint>

#include "util/win32/AutoHandle.h"

namespace ZintarUtil {

class Overlap {
public:
    Overlap();
    Overlap(const Overlap&) = delete;
    Overlap& operator=(const Overlap&) = delete;
    ~Overlap();

    OVERLAPPED* GetOverlapped() { return &overlapped; }

    // The finished operation's status (0 for success) when it completed; 0x102 (WAIT_TIMEOUT)
    // when the time ran out or the wait was cancelled. A completion wins over a cancellation.
    std::uint32_t Wait(std::uint32_t milliseconds);
    // Stays in force, making every Wait return 0x102 at once, until Reset().
    void Cancel();
    void Reset();

private:
    AutoHandle cancelEvent;
    AutoHandle completionEvent;
    OVERLAPPED overlapped;
};

}  // namespace ZintarUtil
