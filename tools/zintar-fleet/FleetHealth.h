// How the collector judges its machines and itself: a host's state for `hosts`, and the status
// line and exit code of `check` (the Nagios plugin convention: 0 OK, 1 WARNING, 2 CRITICAL,
// 3 UNKNOWN, one line, perfdata after '|').
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ZintarFleet {

// One machine as the store sees it. Times in milliseconds since 1970 UTC; `silentSeconds` is how
// long ago the collector last stored anything of it, by the database's clock.
struct HostFigures {
    std::string host;
    std::int64_t messages = 0;
    std::optional<std::int64_t> firstMs, lastMs, receivedMs;
    std::optional<std::int64_t> silentSeconds;
    std::int64_t lastHour = 0;   // messages stamped in the last hour
    std::int64_t gaps = 0;       // gap records of the last 24 h
    std::int64_t lost = 0;       // the messages they lost
    std::int64_t uncounted = 0;  // of those gaps, the ones that lost an unknown number besides
};

enum class HostState { Active, Quiet, Gap };

// "12", or "12+" where some of the gaps could not count what they lost.
std::string LostText(std::int64_t lost, std::int64_t uncounted);

// Quiet when nothing of it was stored for `quietAfter`; else gap when it lost messages in the
// last 24 h; else active. Quiet wins over gap: a machine that is not heard now is the more urgent
// news, and its gap still shows in its figures.
HostState StateOf(const HostFigures& host, std::chrono::seconds quietAfter);
const char* StateName(HostState state);

struct CheckThresholds {
    std::chrono::seconds quietAfter{15 * 60};
    std::uint64_t maxGap = 0;
    std::chrono::seconds maxLag{15 * 60};
};

struct CheckResult {
    int exitCode = 3;  // 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN
    std::string line;  // "ZINTAR FLEET OK - ... | perfdata"
};

// The decision: CRITICAL when more than maxGap messages were lost in 24 h across the fleet, or
// when the collector stored nothing from any machine for longer than maxLag (its lag: the newest
// stored row against now); WARNING when a machine is quiet, when any message was lost at all, or
// when no machine has been heard of yet (a collector that nothing reaches); OK otherwise.
// `misdated` (rows in the default partition: a machine's clock far off) is reported, not judged.
CheckResult DecideCheck(const std::vector<HostFigures>& hosts, std::int64_t rejectedInDay,
                        const CheckThresholds& thresholds, std::int64_t misdated = 0);

// What `check` says when it cannot ask the database: UNKNOWN, exit 3.
CheckResult UnknownCheck(const std::string& why);

}  // namespace ZintarFleet
