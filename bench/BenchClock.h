// The clock of the timing programs under Windows (or Wine): seconds from the performance counter.
#pragma once

#include <windows.h>

namespace ZintarBench {

inline double Now()
{
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace ZintarBench
