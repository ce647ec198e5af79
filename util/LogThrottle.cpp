#include "util/LogThrottle.h"

#include <algorithm>

namespace ZintarUtil {

std::optional<std::uint64_t> LogThrottle::Admit(const std::string& text, std::int64_t nowMs)
{
    auto found = kinds.find(text);
    if (found == kinds.end()) {
        if (kinds.size() >= kMaxKinds)
            ForgetOldest();
        kinds.emplace(text, Kind{nowMs, 0});
        return 0;
    }
    Kind& entry = found->second;
    // A clock that went back (it should not) counts as a second gone by, so nothing stays silent.
    if (nowMs - entry.lastWritten < kInterval && nowMs >= entry.lastWritten) {
        entry.leftOut += 1;
        return std::nullopt;
    }
    const std::uint64_t leftOut = entry.leftOut;
    entry = Kind{nowMs, 0};
    return leftOut;
}

void LogThrottle::ForgetOldest()
{
    const auto oldest = std::min_element(kinds.begin(), kinds.end(), [](const auto& a, const auto& b) {
        return a.second.lastWritten < b.second.lastWritten;
    });
    kinds.erase(oldest);
}

}  // namespace ZintarUtil
