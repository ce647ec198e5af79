// A shrinking time budget handed down through nested waits: each wait gets what the earlier
// ones left, and the caller can ask afterwards whether the whole budget ran out.
#pragma once

#include <cstdint>

namespace ZintarUtil {

constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

// A monotonic millisecond clock that wraps at 32 bits; it never follows changes of the system time.
std::int32_t ClockMilliseconds();

class Timeout {
public:
    using Clock = std::int32_t (*)();

    explicit Timeout(std::uint32_t milliseconds, Clock clock = &ClockMilliseconds);

    // Milliseconds left: 0 means none, kInfinite means no limit. Updates the budget first.
    std::uint32_t Remaining();
    bool Expired();

private:
    void Update();

    std::int32_t start;
    std::uint32_t remaining;
    Clock clock;
};

// The budget without limit, shared by every thread. Updates never write it.
extern Timeout InfiniteTimeout;

}  // namespace ZintarUtil
