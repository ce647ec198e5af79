// Where zintar-forward sends: the collector's URL, and how its certificate is pinned.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "util/UsageError.h"

namespace ZintarForward {

enum class Scheme {
    Relp,     // relp://      RELP, every record acknowledged by the collector
    RelpTls,  // relp+tls://  the same inside TLS
    Tls,      // tls://       RFC 5425: octet-counted syslog over TLS
    Tcp,      // tcp://       RFC 6587: octet-counted syslog over plain TCP
};

struct ForwardTarget {
    Scheme scheme = Scheme::Relp;
    std::string host;  // without the brackets of an IPv6 address
    std::string port;
    std::string url;  // as given

    bool UsesTls() const { return scheme == Scheme::RelpTls || scheme == Scheme::Tls; }
    bool UsesRelp() const { return scheme == Scheme::Relp || scheme == Scheme::RelpTls; }
    // 127.0.0.0/8, ::1 or "localhost": plain text never leaves the machine.
    bool IsLoopback() const;
};

// "relp://collector.example:2514" and the like. Throws ZintarUtil::UsageError naming --to.
ForwardTarget ParseTarget(const std::string& url);

using Sha256 = std::array<std::uint8_t, 32>;

// 64 hex digits, upper or lower case, with or without a colon between each pair (as
// `openssl x509 -fingerprint -sha256` prints it). Throws UsageError naming --fingerprint.
Sha256 ParseFingerprint(const std::string& text);

// "AB:CD:...": how a fingerprint is shown back to the user.
std::string FingerprintText(const Sha256& fingerprint);

}  // namespace ZintarForward
