#include "util/http/HttpAddress.h"

#include <charconv>

#include "util/TextHelpers.h"
#include "util/UsageError.h"

namespace ZintarHttp {

using ZintarUtil::UsageError;

namespace {

// "host:port" → host as written and port; nothing for the port when it is missing.
std::pair<std::string_view, std::string_view> SplitAuthority(std::string_view text)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find(']', colon) != std::string_view::npos)
        return {text, {}};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

bool IsIpLiteral(std::string_view host)
{
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1;
    int dots = 0;
    for (char c : host)
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    return dots == 3;
}

bool IsWildcard(std::string_view host)
{
    return host == "0.0.0.0" || host == "[::]";
}

}  // namespace

std::uint64_t QueryNumber(std::string_view name, std::string_view text, std::uint64_t limit)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > limit)
        throw UsageError(std::string(name) + " needs a number from 0 to " + std::to_string(limit) + ", not '" +
                         std::string(text) + "'");
    return value;
}

ListenAddress ParseListenAddress(const std::string& text)
{
    auto [host, port] = SplitAuthority(text);
    if (host == "localhost")
        host = "127.0.0.1";
    if (!IsIpLiteral(host) || port.empty())
        throw UsageError("--listen needs ADDRESS:PORT with an IP address, for example 127.0.0.1:8080, not '" + text +
                         "'");
    return {std::string(host), static_cast<std::uint16_t>(QueryNumber("--listen's port", port, 65535))};
}

bool IsLoopbackAddress(std::string_view host)
{
    return host.starts_with("127.") || host == "[::1]";
}

bool HostAllowed(std::string_view hostHeader, const ListenAddress& listen, std::uint16_t port)
{
    const auto [host, portText] = SplitAuthority(hostHeader);
    // Browsers leave the scheme's own port out of the Host header.
    const bool portMatches = portText == std::to_string(port) || (portText.empty() && port == 80);
    if (!portMatches || host.empty())
        return false;
    const std::string lower = ZintarUtil::ToLowerAscii(std::string(host));
    if (lower == ZintarUtil::ToLowerAscii(listen.host))
        return true;
    if (lower == "localhost")
        return IsLoopbackAddress(listen.host) || IsWildcard(listen.host);
    return IsWildcard(listen.host) && IsIpLiteral(lower);
}

std::string DecodeQueryText(std::string_view text)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned value = 0;
        if (text[i] == '+')
            decoded += ' ';
        else if (text[i] == '%' && i + 2 < text.size() &&
                 std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr == text.data() + i + 3) {
            decoded += static_cast<char>(value);
            i += 2;
        } else
            decoded += text[i];
    }
    return decoded;
}

std::vector<std::pair<std::string, std::string>> QueryFields(std::string_view query)
{
    std::vector<std::pair<std::string, std::string>> fields;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t equals = pair.find('=');
        fields.emplace_back(DecodeQueryText(pair.substr(0, equals)),
                            equals == std::string_view::npos ? "" : DecodeQueryText(pair.substr(equals + 1)));
    }
    return fields;
}

std::string StreamEvent(std::string_view name, std::string_view data)
{
    std::string event = "event: ";
    event.append(name).append("\ndata: ").append(data).append("\n\n");
    return event;
}

}  // namespace ZintarHttp
