#include "util/Timeout.h"

#include <chrono>

namespace ZintarUtil {

Timeout InfiniteTimeout(kInfinite);

// The steady clock never follows the system time: a clock set back or forward by hand (or by a
// time server) neither stops the timers for that long nor expires every budget in flight.
std::int32_t ClockMilliseconds()
{
    const auto elapsed = std::chrono::steady_clock::now().time_since_epoch();
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(milliseconds)));
}

Timeout::Timeout(std::uint32_t milliseconds, Clock clock) : start(clock()), remaining(milliseconds), clock(clock) {}

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
    const auto elapsed = static_cast<std::int32_t>(static_cast<std::uint32_t>(now) - static_cast<std::uint32_t>(start));
    start = now;
    const auto elapsedUnsigned = static_cast<std::uint32_t>(elapsed);
    remaining = remaining > elapsedUnsigned ? remaining - elapsedUnsigned : 0;
}

}  // namespace ZintarUtil
