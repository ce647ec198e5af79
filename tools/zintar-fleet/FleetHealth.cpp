#include "tools/zintar-fleet/FleetHealth.h"

#include <algorithm>

namespace ZintarFleet {

namespace {

constexpr const char* kStatusWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// "LINE2, LINE4 and 3 more": the first few names of a list.
std::string Names(const std::vector<std::string>& names)
{
    constexpr std::size_t kShown = 3;
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < kShown; ++i)
        text += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > kShown)
        text += " and " + std::to_string(names.size() - kShown) + " more";
    return text;
}

}  // namespace

std::string LostText(std::int64_t lost, std::int64_t uncounted)
{
    return std::to_string(lost) + (uncounted > 0 ? "+" : "");
}

HostState StateOf(const HostFigures& host, std::chrono::seconds quietAfter)
{
    if (!host.silentSeconds || *host.silentSeconds >= quietAfter.count())
        return HostState::Quiet;
    return host.lost > 0 || host.uncounted > 0 ? HostState::Gap : HostState::Active;
}

const char* StateName(HostState state)
{
    switch (state) {
    case HostState::Active:
        return "active";
    case HostState::Quiet:
        return "quiet";
    case HostState::Gap:
        break;
    }
    return "gap";
}

CheckResult DecideCheck(const std::vector<HostFigures>& hosts, std::int64_t rejectedInDay,
                        const CheckThresholds& thresholds, std::int64_t misdated)
{
    std::vector<std::string> quiet, losing;
    std::int64_t lost = 0, gaps = 0, uncounted = 0;
    std::optional<std::int64_t> lag;
    for (const HostFigures& host : hosts) {
        if (StateOf(host, thresholds.quietAfter) == HostState::Quiet)
            quiet.push_back(host.host);
        if (host.lost > 0 || host.uncounted > 0)
            losing.push_back(host.host + " " + LostText(host.lost, host.uncounted));
        lost += host.lost;
        uncounted += host.uncounted;
        gaps += host.gaps;
        if (host.silentSeconds)
            lag = std::min(lag.value_or(*host.silentSeconds), *host.silentSeconds);
    }
    const std::string all = std::to_string(hosts.size());
    std::vector<std::string> critical, warning;
    // A loss nobody could count may be any size: it is critical.
    const std::string lostText = LostText(lost, uncounted) + " messages lost in 24 h (" + Names(losing) + ")";
    if (uncounted > 0 || (lost > 0 && static_cast<std::uint64_t>(lost) > thresholds.maxGap))
        critical.push_back(lostText);
    else if (lost > 0)
        warning.push_back(lostText);
    if (lag && *lag > thresholds.maxLag.count())
        critical.push_back("the collector stored nothing for " + std::to_string(*lag) + " s");
    if (hosts.empty())
        warning.push_back("no machine has been heard of yet");
    else if (!quiet.empty())
        warning.push_back(std::to_string(quiet.size()) + " of " + all + " hosts quiet (" + Names(quiet) + ")");

    CheckResult result;
    result.exitCode = !critical.empty() ? 2 : !warning.empty() ? 1 : 0;
    std::string text;
    for (const std::vector<std::string>* part : {&critical, &warning})
        for (const std::string& item : *part)
            text += (text.empty() ? "" : "; ") + item;
    if (text.empty())
        text = all + " hosts active, nothing lost in 24 h";
    // Perfdata: label=value[unit];warn;crit, the thresholds where there is one.
    const std::string perf = "hosts=" + all + " quiet=" + std::to_string(quiet.size()) +
                             ";0 gaps=" + std::to_string(gaps) + " lost=" + std::to_string(lost) + ";0;" +
                             std::to_string(thresholds.maxGap) + " lag=" + (lag ? std::to_string(*lag) : "U") + "s;;" +
                             std::to_string(thresholds.maxLag.count()) + " rejected=" + std::to_string(rejectedInDay) +
                             " misdated=" + std::to_string(misdated);
    result.line = std::string("ZINTAR FLEET ") + kStatusWords[result.exitCode] + " - " + text + " | " + perf;
    return result;
}

CheckResult UnknownCheck(const std::string& why)
{
    // The status is one line: libpq's messages run over several.
    std::string line = "ZINTAR FLEET UNKNOWN - ";
    for (char c : why)
        if (c == '\n' || c == '\t' || c == '\r')
            line += line.back() == ' ' ? "" : " ";
        else
            line += c;
    return {3, line};
}

}  // namespace ZintarFleet
