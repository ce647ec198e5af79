// How a connection's time budget is shared among the addresses a name resolves to. A collector's
// name often resolves to an IPv6 address first; where the route to it drops packets, a connect to
// it would wait out the whole budget and the IPv4 address behind it that answers at once would
// never be tried. So each address gets its share of what is left, and an address that fails at
// once (refused, unreachable) hands its unused share on to the ones after it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace ZintarForward {

// Below this a share is not cut: a collector far away still gets time for its answer to come
// back, at the cost of the addresses after the first few when there are many.
inline constexpr std::uint32_t kLeastAddressShareMs = 2000;

// The part of `remainingMs` that the next address gets when it and `addressesAfter` more are
// left to try: an equal share, at least kLeastAddressShareMs (or what is left), all of it for
// the last.
constexpr std::uint32_t AddressShare(std::uint32_t remainingMs, std::size_t addressesAfter)
{
    const std::uint64_t share = remainingMs / (static_cast<std::uint64_t>(addressesAfter) + 1);
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(remainingMs, std::max<std::uint64_t>(share, kLeastAddressShareMs)));
}

}  // namespace ZintarForward
