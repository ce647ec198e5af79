// What a web server of the project makes of addresses and requests apart from the HTTP itself: the
// address it listens on, which Host headers it answers, a query string's fields and one
// server-sent event. Shared by `zintarctl web` and `zintar-fleet web`.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ZintarHttp {

struct ListenAddress {
    std::string host;        // an IP address as written: "127.0.0.1", "[::1]", "0.0.0.0"
    std::uint16_t port = 0;  // 0: any free port
};

// "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:8080" or "localhost:8080" (127.0.0.1). Only addresses,
// not host names: a name could resolve elsewhere. Throws UsageError.
ListenAddress ParseListenAddress(const std::string& text);

// 127.0.0.0/8 or ::1: only this machine can reach a server there.
bool IsLoopbackAddress(std::string_view host);

// A server answers only requests that name it by the address it listens on, so that a page of
// another site cannot reach it through a host name that resolves to this machine (DNS rebinding).
// On a loopback address "localhost" is accepted too; on the wildcard address any IP address with
// the port is (an address literal cannot be rebound).
bool HostAllowed(std::string_view hostHeader, const ListenAddress& listen, std::uint16_t port);

// "%41+b" → "A b".
std::string DecodeQueryText(std::string_view text);

// "a=1&b=%20&c" → {{"a", "1"}, {"b", " "}, {"c", ""}}, in the order written.
std::vector<std::pair<std::string, std::string>> QueryFields(std::string_view query);

// A number from 0 to `limit`, all of `text`. Throws UsageError naming `name`.
std::uint64_t QueryNumber(std::string_view name, std::string_view text, std::uint64_t limit);

// One server-sent event: "event: NAME\ndata: DATA\n\n" (DATA holds no line end).
std::string StreamEvent(std::string_view name, std::string_view data);

}  // namespace ZintarHttp
