// A byte stream to the collector: plain TCP, or TLS on top of it. The forwarder speaks its
// protocols (RELP, octet-counted syslog) through this interface only, so the engine runs natively
// against a scripted stand-in in tests and under Windows against Winsock and SChannel.
//
// One thread uses a connection at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ZintarForward {

class Connection {
public:
    virtual ~Connection() = default;

    // Hands all of `bytes` to the transport, waiting at most `timeoutMs` for room. Throws
    // ExceptionBase (the text says why) when the connection failed or the time ran out; the
    // connection is then unusable.
    virtual void Send(std::string_view bytes, std::uint32_t timeoutMs) = 0;

    // Waits at most `timeoutMs` for bytes from the collector and returns what arrived: empty when
    // nothing did in time. Throws ExceptionBase when the connection failed or the collector closed
    // it (the text says which).
    virtual std::string Receive(std::uint32_t timeoutMs) = 0;

    // Ends the connection in order (TLS: close_notify first) so that the collector has read
    // everything sent; waits at most `timeoutMs`. Returns whether it closed cleanly. Never throws.
    virtual bool Close(std::uint32_t timeoutMs) noexcept = 0;

    // The security protocol the connection runs, as `status` shows it ("TLS 1.3"); empty for
    // plain TCP.
    virtual std::string Protocol() const { return {}; }
};

}  // namespace ZintarForward
