// The SChannel session behind StartTls (TlsConnection.h): one class, its members defined where
// their part of the protocol is: TlsConnection.cpp the credentials and the close,
// TlsHandshake.cpp the handshake (and the handshake messages that come after it), TlsRecords.cpp
// the records that carry the text. Only those three files include this one.
#pragma once

#include <winsock2.h>

#include <windows.h>

#include <wincrypt.h>

#include <subauth.h>
#define SECURITY_WIN32
// schannel.h declares SCH_CREDENTIALS and TLS_PARAMETERS only under this name; they use
// UNICODE_STRING, from subauth.h.
#define SCHANNEL_USE_BLACKLISTS
#include <schannel.h>
#include <security.h>

#include <memory>
#include <string>
#include <string_view>

#include "tools/zintar-forward/Connection.h"
#include "tools/zintar-forward/win32/CertificateCheck.h"
#include "tools/zintar-forward/win32/ClientCertificate.h"
#include "tools/zintar-forward/win32/SocketConnection.h"
#include "util/Exceptions.h"
#include "util/Timeout.h"
#include "util/win32/UniqueResource.h"

namespace ZintarForward::Tls {

inline const std::string kStartFailed = "Failed to start TLS with the collector";
inline const std::string kHandshakeFailed = kStartFailed + ": the handshake failed";
inline const std::string kSendFailed = "Failed to send to the collector";
inline const std::string kReceiveFailed = "Failed to receive from the collector";

// A TLS record is at most 16 KiB of text plus 2 KiB of protection and its header, and a server's
// first flight a few records; a peer that has sent this much without SChannel seeing a complete
// record or flight does not speak TLS.
constexpr std::size_t kLargestPending = 256 * 1024;

// SChannel's handles are pairs of values, both -1 while they stand for nothing.
struct SecHandleIsEmpty {
    using Type = SecHandle;
    static Type Empty() noexcept
    {
        Type handle;
        SecInvalidateHandle(&handle);
        return handle;
    }
    static bool IsEmpty(const Type& handle) noexcept { return !SecIsValidHandle(&handle); }
};

struct CredentialsTraits : SecHandleIsEmpty {
    static bool Close(CredHandle handle) noexcept { return FreeCredentialsHandle(&handle) == SEC_E_OK; }
};
using CredentialsHandle = ZintarUtil::UniqueResource<CredentialsTraits>;

struct SecurityContextTraits : SecHandleIsEmpty {
    static bool Close(CtxtHandle handle) noexcept { return DeleteSecurityContext(&handle) == SEC_E_OK; }
};
using SecurityContext = ZintarUtil::UniqueResource<SecurityContextTraits>;

struct ContextBufferTraits : ZintarUtil::NullIsEmpty<void*> {
    static bool Close(void* buffer) noexcept { return FreeContextBuffer(buffer) == SEC_E_OK; }
};
using ContextBuffer = ZintarUtil::UniqueResource<ContextBufferTraits>;

inline std::string StatusClause(SECURITY_STATUS status)
{
    return SystemErrorClause(static_cast<std::uint32_t>(status));
}

class TlsSession final : public Connection {
public:
    // `client`: our certificate for the collector, or null to offer none.
    TlsSession(std::unique_ptr<Connection> plainConnection, const std::string& hostName,
               std::shared_ptr<const ClientCertificate> client);

    void Handshake(std::uint32_t timeoutMs);
    CertContext PeerCertificate();

    void Send(std::string_view bytes, std::uint32_t timeoutMs) override;
    std::string Receive(std::uint32_t timeoutMs) override;
    bool Close(std::uint32_t timeoutMs) noexcept override;
    std::string Protocol() const override { return protocol; }

private:
    static constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;

    SECURITY_STATUS Acquire(void* request);
    void Negotiate(std::uint32_t timeoutMs);
    SECURITY_STATUS Step(SecBufferDesc* input, ZintarUtil::Timeout& budget);
    void ReadHandshake(ZintarUtil::Timeout& budget, std::uint32_t timeoutMs);
    void NoteCertificateRequest(const std::string& bytes);
    void KeepExtra(const SecBuffer& extra);
    void AppendRecord(std::string_view text, std::string& wire);
    void DecryptPending(ZintarUtil::Timeout& budget);
    bool ContinueHandshake(ZintarUtil::Timeout& budget);
    bool SendCloseNotify(ZintarUtil::Timeout& budget);

    unsigned long PendingLength() const { return static_cast<unsigned long>(undecrypted.size()); }

    void RequireUsable(const std::string& failure) const
    {
        if (closed)
            throw ZintarUtil::Exceptions::ExceptionBase(failure + ": the connection is closed");
    }

    // Declared in the order they are made, so that they are released in reverse: the context
    // before the credentials it was made from, the socket last.
    std::unique_ptr<Connection> plain;
    std::wstring serverName;  // empty: no server name indication (an address, or no name at all)
    std::shared_ptr<const ClientCertificate> clientCertificate;  // null: none offered
    CredentialsHandle credentials;
    SecurityContext context;
    SecPkgContext_StreamSizes sizes{};
    std::string undecrypted;    // bytes from the collector that SChannel has not used yet
    std::string decrypted;      // text that a Receive has not handed out yet
    std::string fromCollector;  // the collector's handshake bytes, until it asked for a certificate
    std::string protocol;       // "TLS 1.3", once the handshake is done
    bool certificateAsked = false;
    bool handshakeAgain = false;  // InitializeSecurityContext wants the collector's next bytes
    bool peerClosed = false;
    bool closed = false;
};

}  // namespace ZintarForward::Tls
