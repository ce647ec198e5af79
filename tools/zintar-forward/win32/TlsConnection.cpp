// The connection's life around the handshake and the records: SChannel's client credentials
// first, our close_notify and the close of the socket last.
#include "tools/zintar-forward/win32/TlsConnection.h"

#include <utility>

#include "tools/zintar-forward/win32/TlsSession.h"
#include "util/Exceptions.h"

namespace ZintarForward {

namespace Tls {

using ZintarUtil::Timeout;
using ZintarUtil::Exceptions::ExceptionBase;

TlsSession::TlsSession(std::unique_ptr<Connection> plainConnection, const std::string& hostName,
                       std::shared_ptr<const ClientCertificate> client)
    : plain(std::move(plainConnection)), serverName(IsAddressLiteral(hostName) ? std::wstring() : WideText(hostName)),
      clientCertificate(std::move(client))
{
    PCCERT_CONTEXT offered[1] = {clientCertificate != nullptr ? clientCertificate->Certificate() : nullptr};
    const DWORD offeredCount = clientCertificate != nullptr ? 1 : 0;
    // TLS 1.3 and 1.2, nothing older; SChannel takes the protocols to leave out.
    TLS_PARAMETERS protocols{};
    protocols.grbitDisabledProtocols = ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS modern{};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = kCredentialFlags;
    modern.cCreds = offeredCount;
    modern.paCred = offered;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &protocols;
    SECURITY_STATUS status = Acquire(&modern);
    if (status != SEC_E_OK) {
        // Windows before 10 1809 and Server 2019 refuse the structure's version (Wine 8 takes
        // it, and offers TLS 1.2 alone); a certificate SChannel cannot use is refused again
        // here, and reported below with the reason.
        SCHANNEL_CRED legacy{};
        legacy.dwVersion = SCHANNEL_CRED_VERSION;
        legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        legacy.dwFlags = kCredentialFlags;
        legacy.cCreds = offeredCount;
        legacy.paCred = offered;
        status = Acquire(&legacy);
    }
    if (status != SEC_E_OK && clientCertificate != nullptr)
        throw ExceptionBase(kStartFailed + ": cannot use the client certificate " + clientCertificate->File() +
                            ": SChannel refuses it: " + StatusClause(status));
    if (status != SEC_E_OK)
        throw ExceptionBase(kStartFailed + ": SChannel gives no TLS 1.2 client credentials: " + StatusClause(status));
}

// Client credentials from `request` (SCH_CREDENTIALS or SCHANNEL_CRED), kept when SChannel
// gives them.
SECURITY_STATUS TlsSession::Acquire(void* request)
{
    TimeStamp expiry;
    // Owned only once the call has succeeded: a failed one may leave anything in `acquired`.
    CredHandle acquired = CredentialsTraits::Empty();
    const SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, request,
                                  nullptr, nullptr, &acquired, &expiry);
    if (status == SEC_E_OK)
        credentials.Reset(acquired);
    return status;
}

bool TlsSession::Close(std::uint32_t timeoutMs) noexcept
{
    if (closed)
        return false;
    closed = true;
    Timeout budget(timeoutMs);
    bool notified = false;
    try {
        notified = SendCloseNotify(budget);
    } catch (...) {
    }
    const bool plainClosed = plain->Close(budget.Remaining());
    return notified && plainClosed;
}

bool TlsSession::SendCloseNotify(Timeout& budget)
{
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc control{SECBUFFER_VERSION, 1, &token};
    if (ApplyControlToken(context.AddressOf(), &control) != SEC_E_OK)
        return false;
    return !FAILED(Step(nullptr, budget));
}

}  // namespace Tls

std::unique_ptr<Connection> StartTls(std::unique_ptr<Connection> plain, const TlsPolicy& policy,
                                     std::uint32_t timeoutMs)
{
    const CertificateCheck check(policy);
    std::shared_ptr<const ClientCertificate> client;
    if (!policy.clientCertificate.empty())
        client = LoadClientCertificate(policy.clientCertificate);
    auto tls = std::make_unique<Tls::TlsSession>(std::move(plain), policy.hostName, std::move(client));
    tls->Handshake(timeoutMs);
    check.Check(*tls->PeerCertificate().Get());
    return tls;
}

}  // namespace ZintarForward
