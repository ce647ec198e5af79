#include "tools/zintar-forward/ForwardTarget.h"

#include <cstdio>
#include <tuple>

#include "util/CommandLineValues.h"
#include "util/TextHelpers.h"

namespace ZintarForward {

using ZintarUtil::UsageError;

namespace {

struct SchemeName {
    const char* prefix;
    Scheme scheme;
};

// "relp+tls://" before "relp://" would not matter, but the longest prefix first reads safest.
constexpr SchemeName kSchemes[] = {
    {"relp+tls://", Scheme::RelpTls},
    {"relp://", Scheme::Relp},
    {"tls://", Scheme::Tls},
    {"tcp://", Scheme::Tcp},
};

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ForwardTarget::IsLoopback() const
{
    const std::string name = ZintarUtil::ToLowerAscii(host);
    return name == "localhost" || name == "::1" || name.rfind("127.", 0) == 0;
}

ForwardTarget ParseTarget(const std::string& url)
{
    for (const SchemeName& known : kSchemes) {
        const std::string prefix = known.prefix;
        if (ZintarUtil::ToLowerAscii(url.substr(0, prefix.size())) != prefix)
            continue;
        const std::string rest = url.substr(prefix.size());
        if (rest.find_first_of("/?#@") != std::string::npos)
            throw UsageError("--to takes SCHEME://HOST:PORT with nothing after the port, not '" + url + "'");
        ForwardTarget target;
        target.scheme = known.scheme;
        std::tie(target.host, target.port) = ZintarUtil::SplitHostPort(rest, "--to");
        target.url = url;
        return target;
    }
    throw UsageError("--to needs relp://, relp+tls://, tls:// or tcp:// and HOST:PORT, for example "
                     "relp+tls://collector.example:2514, not '" +
                     url + "'");
}

Sha256 ParseFingerprint(const std::string& text)
{
    std::string digits;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool pairEnds = digits.size() % 2 == 0 && !digits.empty();
        if (text[i] == ':' && pairEnds && i + 1 < text.size())
            continue;
        digits += text[i];
    }
    Sha256 fingerprint{};
    bool good = digits.size() == 2 * fingerprint.size();
    for (std::size_t i = 0; good && i < fingerprint.size(); ++i) {
        const int high = HexDigit(digits[2 * i]), low = HexDigit(digits[2 * i + 1]);
        good = high >= 0 && low >= 0;
        fingerprint[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    if (!good)
        throw UsageError("--fingerprint needs the certificate's SHA-256 as 64 hex digits (colons between pairs "
                         "allowed), not '" +
                         text + "'");
    return fingerprint;
}

std::string FingerprintText(const Sha256& fingerprint)
{
    std::string text;
    char pair[4];
    for (std::uint8_t byte : fingerprint) {
        std::snprintf(pair, sizeof pair, text.empty() ? "%02X" : ":%02X", byte);
        text += pair;
    }
    return text;
}

}  // namespace ZintarForward
