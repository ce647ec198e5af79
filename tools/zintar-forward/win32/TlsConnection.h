// TLS 1.3 or 1.2 to the collector through SChannel, on top of any Connection. SChannel only runs the
// protocol; the collector's certificate is checked here, after the handshake and before a single
// byte of application data goes out (CertificateCheck.h), because Wine's SChannel checks nothing
// during the handshake whatever the credential flags ask.
//
// TLS 1.3 needs SChannel's newer credentials (SCH_CREDENTIALS, Windows 10 1809 and Server 2019 on);
// where they are refused (older Windows) the connection offers TLS 1.2 alone, as before. Wine 8
// takes them but speaks TLS 1.2 only.
//
// The returned connection never falls back to plain text: any failure ends in ExceptionBase.
// Like every Connection it is used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tools/zintar-forward/Connection.h"
#include "util/ForwardState.h"

namespace ZintarForward {

struct TlsPolicy {
    // The name the collector's certificate must carry (a DNS name or an IP literal); checked
    // unless `pin` is set. A DNS name also goes out as the server name indication.
    std::string hostName;
    // A PEM file with the CA (or CAs) that must sign the collector's certificate; empty: the
    // machine's trusted roots.
    std::string caFile;
    // SHA-256 over the certificate's DER bytes (the RFC 5425 fingerprint): when set, only this is
    // checked.
    std::optional<std::array<std::uint8_t, 32>> pin;
    // A PKCS#12 file (.pfx, .p12) with our own certificate and its private key, for collectors
    // that ask for one (RELP over TLS does); empty: none is offered.
    std::string clientCertificate;
    // Revocation checking of the chain (not of a pinned certificate, which has none).
    ZintarUtil::RevocationCheck revocation = ZintarUtil::RevocationCheck::Soft;
};

// Runs the client handshake over `plain` within `timeoutMs`, then checks the collector's
// certificate by `policy`. Throws ExceptionBase "Failed to start TLS with the collector: ..."
// (the CA file, the credentials or the handshake failed; garbage instead of TLS ends here too) or
// "Refused the collector's certificate: ..." (CertificateCheck.h gives the reasons).
//
// The connection: Send encrypts into records of at most SChannel's largest message; Receive
// decrypts, keeping partial records and surplus plain text for the next call, and throws
// "The collector closed the connection" on the collector's close_notify; Close sends our
// close_notify, then closes `plain` in order.
std::unique_ptr<Connection> StartTls(std::unique_ptr<Connection> plain, const TlsPolicy& policy,
                                     std::uint32_t timeoutMs);

}  // namespace ZintarForward
