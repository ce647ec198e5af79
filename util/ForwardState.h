// zintar-forward's settings and its state file, shared by the forwarder and by `zintarctl status`.
// The state file keeps the resume point (the last message the collector has, as far as anyone can
// know) and what `status` shows. It is text, one "name=value" a line, so that an administrator can
// read it; it is replaced whole, never edited in place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/LogFileFormat.h"

namespace ZintarUtil {

// How the chain of the collector's certificate is checked for revocation (CRLs and OCSP, every
// certificate but the root).
enum class RevocationCheck {
    Off,   // not at all
    Soft,  // a revoked certificate is refused; one whose status cannot be fetched in time passes
    Hard,  // refused unless the status of every certificate is known and good
};

// "off", "soft", "hard", as the command line and the registry spell them.
const char* RevocationText(RevocationCheck check);
// None for any other text.
std::optional<RevocationCheck> ParseRevocation(std::string_view text);

// What the forwarder runs with, as the command line and the registry give it (unchecked).
struct ForwardSettings {
    std::string to;         // the collector's URL
    std::string hostName;   // empty: the computer's name
    std::string stateFile;  // empty: the default in the state folder
    std::uint32_t typeMask = kEveryTypeMask;
    std::string caFile;             // PEM; empty: the machine's trusted roots
    std::string fingerprint;        // empty: the certificate is checked by its chain and name
    std::string clientCertificate;  // PKCS#12 file with the forwarder's own certificate and key; empty: none
    int facility = 16;              // local0
    RevocationCheck revocation = RevocationCheck::Soft;
};

// A message of the ring, named as it is forwarded: its log's generation, its sequence and the
// digest of its bytes. Sequence and digest find it again in a later generation of the same log.
struct ResumePoint {
    std::uint64_t generation = 0;
    std::uint64_t sequence = 0;
    std::uint64_t digest = 0;

    bool operator==(const ResumePoint&) const = default;
};

struct ForwardState {
    std::optional<ResumePoint> acknowledged;  // none: start with the oldest message the ring holds
    std::string acknowledgedAt;               // local time of the last acknowledgement, as text
    std::uint64_t lost = 0;                   // messages overwritten before they could be sent, ever
    std::uint64_t uncountedLosses = 0;        // and bursts that overwrote an unknown number of them, ever
    std::uint64_t forwarded = 0;              // messages acknowledged since the forwarder started

    // For `status`; not needed to resume.
    std::string target;
    bool connected = false;
    std::string protocol;      // the connection's TLS version ("TLS 1.3"); empty: plain TCP or none
    std::string problem;       // why it is not connected, or the last failure
    std::string warning;       // what the administrator should know of the settings (plain text on the network)
    std::string notice;        // what this run did that the administrator should know (a resume point not believed)
    std::uint64_t behind = 0;  // messages in the ring newer than the resume point
    std::string updatedAt;     // local time the file was written

    bool operator==(const ForwardState&) const = default;
};

std::string FormatForwardState(const ForwardState& state);

// The lines `zintar-forward status` and `zintarctl status` print; `running` is whether the
// forwarder runs now (a file left by a forwarder that stopped says what it last knew).
std::string ForwardStatusText(const ForwardState& state, bool running);

// The same on one line: "connected to URL, acknowledged sequence S at T, N behind, L lost".
std::string ForwardStatusLine(const ForwardState& state);

// A state file's text. A resume point that is missing or damaged (a field absent, not a number)
// gives none; the other fields take what can be read. Never throws.
ForwardState ParseForwardState(const std::string& text);

}  // namespace ZintarUtil
