// Plain TCP to the collector through Winsock. The socket stays non-blocking for its whole life:
// every wait (connect, room to send, bytes to read, the peer's close) is one select() bounded by
// the caller's time budget, so no call can hang on a silent or stuck collector.
//
// Winsock is started once per process, before the first socket, and never stopped before exit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/zintar-forward/Connection.h"

namespace ZintarForward {

// The text of the exception that a peer's close raises, plain or TLS alike.
inline constexpr const char* kCollectorClosedText = "The collector closed the connection";

// Resolves `host` (a name, an IPv4 or an IPv6 literal without brackets) and connects to the first
// of its addresses that answers, all within `timeoutMs`. Throws ExceptionBase
// "Failed to connect to HOST:PORT: <reason>", the reason being the system's text for the last
// failure, "no answer within N s" or "the name cannot be resolved". Name resolution itself is the
// system's blocking call and is not bounded by `timeoutMs`; a literal address never waits for it.
std::unique_ptr<Connection> ConnectTcp(const std::string& host, const std::string& port, std::uint32_t timeoutMs);

// The system's text for `code` as a clause to follow a colon: no line break, no final full stop,
// the first letter lowered ("connection refused"). A code without a text gives "error <code>".
// Shared by the transport's Win32 files so that all their reasons read alike.
std::string SystemErrorClause(std::uint32_t code);

// `text` as a clause to follow a colon, as SystemErrorClause shapes the system's texts.
std::string AsClause(std::string text);

// "5 s" for whole seconds, "1500 ms" otherwise: how long a wait lasted, for a reason text.
std::string DurationText(std::uint32_t milliseconds);

}  // namespace ZintarForward
