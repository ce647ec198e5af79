// RELP, the Reliable Event Logging Protocol that rsyslog speaks (imrelp), as a client uses it:
//
//   frame   = TXNR SP COMMAND SP DATALEN [SP DATA] LF
//   client: 1 open 85 relp_version=0 LF relp_software=... LF commands=syslog      →  1 rsp ... 200 OK ...
//           2 syslog 120 <133>1 2026-...                                           →  2 rsp 6 200 OK
//           N close 0                                                              →  N rsp 0
//   server: 0 serverclose 0   (it is going away)
//
// Every command is answered by a "rsp" frame with the same transaction number; a client keeps a
// window of commands unanswered. The frames are built and read here, without any I/O; what
// arrives from the network is untrusted and read within fixed limits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ZintarForward {

// Transaction numbers run from 1 to 999,999,999 and then start at 1 again.
constexpr std::uint32_t kRelpMaxTxnr = 999999999;
constexpr std::uint32_t NextRelpTxnr(std::uint32_t txnr)
{
    return txnr >= kRelpMaxTxnr ? 1 : txnr + 1;
}

std::string RelpFrame(std::uint32_t txnr, std::string_view command, std::string_view data);

// The "open" command's offer: protocol version 0, the syslog command.
std::string RelpOpenOffer();

struct RelpReply {
    std::uint32_t txnr = 0;
    std::string command;  // "rsp", or "serverclose"
    std::string data;
};

// A "rsp" frame's data: "200 OK" and, after a line break, what the command answers with.
struct RelpStatus {
    int code = 0;
    std::string text;  // the rest of the first line
    bool Ok() const { return code == 200; }
};

// Reads the collector's frames out of the bytes as they arrive, in any pieces.
class RelpReplyReader {
public:
    // The longest data a reply may carry: an "open" answer is a few hundred bytes.
    static constexpr std::size_t kMaxData = 64 * 1024;

    void Feed(std::string_view bytes) { buffer.append(bytes); }

    // The next whole frame, or none until more bytes arrive. Throws ExceptionBase "The collector
    // sent a malformed RELP frame: ..." for anything that is not a frame; the reader is then of no
    // further use.
    std::optional<RelpReply> Next();

private:
    std::string buffer;
    std::size_t consumed = 0;  // the bytes of `buffer` already read as frames
};

// Throws ExceptionBase "The collector sent a malformed RELP response: ..." for data that does not
// start with a three-digit status.
RelpStatus ParseRelpStatus(const std::string& data);

}  // namespace ZintarForward
