// Plain TCP to the collector through Winsock. The socket stays non-blocking for its whole life:
// every wait (the name lookup, connect, room to send, bytes to read, the peer's close) is bounded
// by the caller's time budget and watches the forwarder's stop (StopLimit), so no call can hang
// on a silent or stuck collector, nor hold a stop up.
//
// Winsock is started once per process, before the first socket, and never stopped before exit.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tools/zintar-forward/Connection.h"

namespace ZintarForward {

// The forwarder's stop as the connection's waits see it. A connect or a name lookup ends at the
// stop itself: nothing after it needs a new connection. A wait of an open connection (send,
// receive, close) goes on for at most `graceMs` after the stop was first seen, so that the orderly
// end (the collector's last answers, RELP's close, TLS's close_notify) has its short chance and a
// stalled collector holds the stop up no longer; past it, the wait ends with ExceptionBase
// "...: the forwarder is stopping". The waits look at the stop every kStopSliceMs.
//
// Used by the forwarder's thread only.
class StopLimit {
public:
    static constexpr std::uint32_t kStopSliceMs = 100;

    // `stopEvent` (manual reset, null: never stops) outlives this object.
    StopLimit(HANDLE stopEvent, std::uint32_t graceMs);

    // Whether the stop was asked for; the grace starts the first time it is seen.
    bool Stopped();
    // How long a wait of an open connection that wants `wantedMs` may last from now: all of it
    // before the stop, what is left of the grace after it.
    std::uint32_t Allowed(std::uint32_t wantedMs);
    bool GraceOver();

private:
    HANDLE stopEvent;
    std::uint32_t graceMs;
    std::optional<std::uint64_t> graceEndsAt;
};

// The clause of the failures that the stop causes.
inline constexpr const char* kStoppingClause = "the forwarder is stopping";

// The text of the exception that a peer's close raises, plain or TLS alike.
inline constexpr const char* kCollectorClosedText = "The collector closed the connection";

// Resolves `host` (a name, an IPv4 or an IPv6 literal without brackets) and connects to the first
// of its addresses that answers, all within `timeoutMs`; each address gets its share of what is
// left (ConnectBudget.h). Throws ExceptionBase "Failed to connect to HOST:PORT: <reason>", the
// reason being the system's text for the last failure, "no answer within N ms", "the name cannot
// be resolved", "the name lookup gave no answer within N s" or kStoppingClause. The lookup is the
// system's blocking call: it runs on a thread of its own, which a stop or the budget abandons (a
// lookup still under way is taken up again by the next connect to the same name rather than
// started twice). `stop` may be null.
std::unique_ptr<Connection> ConnectTcp(const std::string& host, const std::string& port, std::uint32_t timeoutMs,
                                       std::shared_ptr<StopLimit> stop = nullptr);

// The system's text for `code` as a clause to follow a colon: no line break, no final full stop,
// the first letter lowered ("connection refused"). A code without a text gives "error <code>".
// Shared by the transport's Win32 files so that all their reasons read alike.
std::string SystemErrorClause(std::uint32_t code);

// `text` as a clause to follow a colon, as SystemErrorClause shapes the system's texts.
std::string AsClause(std::string text);

// "5 s" for whole seconds, "1500 ms" otherwise: how long a wait lasted, for a reason text.
std::string DurationText(std::uint32_t milliseconds);

}  // namespace ZintarForward
