#include "Timeout.h"

#include <ctime>

namespace ZintarUtil {

Timeout InfiniteTimeout(kInfinite);

std::int32_t ClockMilliseconds()
{
#ifdef _WIN32
    static_assert(CLOCKS_PER_SEC == 1000);
    return static_cast<std::int32_t>(clock());
#else
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t milliseconds =
        static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(milliseconds));
#endif
}

Timeout::Timeout(std::uint32_t milliseconds, Clock clock)
    : start(clock()), remaining(milliseconds), clock(clock)
{
}

std::uint32_t Timeout::Remaining()
{
    Update();
    return remaining;
}

bool Timeout::Expired()
{
    Update();
    return remaining == 0;
}

void Timeout::Update()
{
    if (remaining == 0 || remaining == kInfinite)
        return;
    const std::int32_t now = clock();
    // The difference is taken modulo 2^32, so a wrapping clock still gives the elapsed time.
    const auto elapsed = static_cast<std::int32_t>(static_cast<std::uint32_t>(now) -
                                                   static_cast<std::uint32_t>(start));
    start = now;
    const auto elapsedUnsigned = static_cast<std::uint32_t>(elapsed);
    remaining = remaining > elapsedUnsigned ? remaining - elapsedUnsigned : 0;
}

}  // namespace ZintarUtil
