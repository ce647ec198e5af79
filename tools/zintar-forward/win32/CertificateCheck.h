// Decides whether the collector's certificate, as SChannel received it in the handshake, may be
// trusted with the records. The checks are ours rather than SChannel's so that they are the same
// under Wine (which checks nothing in the handshake) and on Windows:
//
//   - a pin: the certificate's SHA-256 must equal it, and nothing else is asked;
//   - otherwise a chain that ends in the CA file's CA (or, without a file, in a root the machine
//     trusts) without any error, and a certificate that names the host: its DNS names through the
//     system's SSL policy, an IP literal also through the certificate's IP address entries, which
//     Wine's policy does not look at.
//
// The chain's certificates but its anchor are checked for revocation as the policy asks: a revoked
// one is refused unless the check is off, one whose status cannot be fetched within a few seconds
// only under --revocation hard. A pinned certificate has no chain and is not checked for it.
// The CA file may hold the issuing intermediate CA alone (Windows 8 and later; Wine wants the root).
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include <array>
#include <cstdint>
#include <string>

#include "tools/zintar-forward/ForwardTarget.h"
#include "tools/zintar-forward/win32/TlsConnection.h"
#include "util/win32/UniqueResource.h"

namespace ZintarForward {

struct CertContextTraits : ZintarUtil::NullIsEmpty<const CERT_CONTEXT*> {
    static bool Close(const CERT_CONTEXT* certificate) noexcept
    {
        return CertFreeCertificateContext(certificate) != FALSE;
    }
};
using CertContext = ZintarUtil::UniqueResource<CertContextTraits>;

struct CertStoreTraits : ZintarUtil::NullIsEmpty<HCERTSTORE> {
    static bool Close(HCERTSTORE store) noexcept { return CertCloseStore(store, 0) != FALSE; }
};
using CertStore = ZintarUtil::UniqueResource<CertStoreTraits>;

struct ChainEngineTraits : ZintarUtil::NullIsEmpty<HCERTCHAINENGINE> {
    static bool Close(HCERTCHAINENGINE engine) noexcept
    {
        CertFreeCertificateChainEngine(engine);
        return true;
    }
};
using ChainEngine = ZintarUtil::UniqueResource<ChainEngineTraits>;

class CertificateCheck {
public:
    // Reads the CA file when the policy names one and no pin overrides it, so that a missing or
    // unreadable file shows before any byte goes to the collector. Throws ExceptionBase
    // "Failed to start TLS with the collector: ..." when the file cannot be used or there is
    // neither a pin nor a host name to check.
    explicit CertificateCheck(const TlsPolicy& policy);

    // Throws ExceptionBase "Refused the collector's certificate: <reason>", for instance
    // "its SHA-256 is AB:CD:..., not the pinned one", "it is not signed by the CA in FILE",
    // "it does not name HOST", "it has expired (valid until ...)".
    void Check(const CERT_CONTEXT& certificate) const;

private:
    void CheckChain(const CERT_CONTEXT& certificate) const;
    void CheckName(const CERT_CONTEXT& certificate, const CERT_CHAIN_CONTEXT& chain) const;

    TlsPolicy policy;
    CertStore caStore;     // only with a CA file
    ChainEngine caEngine;  // trusts exactly caStore; empty: the local machine's engine and roots
};

// The whole of `path`. Throws ExceptionBase `failure` + the system's reason ("no such file or
// directory") when it cannot be opened or read.
std::string ReadWholeFile(const std::string& path, const std::string& failure);

// SHA-256 over the certificate's DER bytes, through BCrypt. Throws ExceptionBase on failure.
Sha256 CertificateSha256(const CERT_CONTEXT& certificate);

// True for an IPv4 or IPv6 literal, which is compared with IP address entries and never sent as
// the server name indication.
bool IsAddressLiteral(const std::string& host);

// UTF-8 to the wide text the security functions take.
std::wstring WideText(const std::string& text);

}  // namespace ZintarForward
