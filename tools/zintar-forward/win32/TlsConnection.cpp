#include "tools/zintar-forward/win32/TlsConnection.h"

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

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "tools/zintar-forward/win32/CertificateCheck.h"
#include "tools/zintar-forward/win32/ClientCertificate.h"
#include "tools/zintar-forward/win32/SocketConnection.h"
#include "util/Exceptions.h"
#include "util/Timeout.h"
#include "util/win32/UniqueResource.h"

namespace ZintarForward {

using ZintarUtil::Timeout;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

const std::string kStartFailed = "Failed to start TLS with the collector";
const std::string kHandshakeFailed = kStartFailed + ": the handshake failed";
const std::string kSendFailed = "Failed to send to the collector";
const std::string kReceiveFailed = "Failed to receive from the collector";

// A TLS record is at most 16 KiB of text plus 2 KiB of protection and its header, and a server's
// first flight a few records; a peer that has sent this much without SChannel seeing a complete
// record or flight does not speak TLS.
constexpr std::size_t kLargestPending = 256 * 1024;

constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

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

std::string StatusClause(SECURITY_STATUS status)
{
    return SystemErrorClause(static_cast<std::uint32_t>(status));
}

const SecBuffer* FindBuffer(const SecBuffer* buffers, std::size_t count, unsigned long type)
{
    const SecBuffer* found =
        std::find_if(buffers, buffers + count, [type](const SecBuffer& b) { return b.BufferType == type; });
    return found != buffers + count ? found : nullptr;
}

// Bytes as they would read in a log line: printable ASCII kept, everything else as \xNN.
std::string PrintableText(std::string_view bytes)
{
    std::string shown;
    for (const char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            shown += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
            shown += escaped;
        }
    }
    return shown;
}

// A server's first TLS record is a handshake or an alert of protocol version 3.x. Anything else
// is refused at once: some stacks would otherwise read the first bytes of a text answer as the
// length of a record and wait for the rest until the time runs out.
void RequireTlsAnswer(const std::string& answer)
{
    constexpr char kAlert = 0x15;
    constexpr char kHandshake = 0x16;
    constexpr char kVersionMajor = 0x03;
    const bool recordStart =
        (answer[0] == kHandshake || answer[0] == kAlert) && (answer.size() < 2 || answer[1] == kVersionMajor);
    if (!recordStart)
        throw ExceptionBase(kHandshakeFailed + ": the collector does not speak TLS; its answer begins \"" +
                            PrintableText(std::string_view(answer).substr(0, 24)) + "\"");
}

unsigned Byte(std::string_view bytes, std::size_t at)
{
    return static_cast<unsigned char>(bytes[at]);
}

// Whether the collector's part of a TLS 1.2 handshake so far holds a CertificateRequest. Only
// the records before its ChangeCipherSpec are read: they travel in plain text. Wine's SChannel
// answers such a request without a certificate and without a word (Windows returns
// SEC_I_INCOMPLETE_CREDENTIALS), so this is how a refusal later gets its real reason.
bool RequestsCertificate(std::string_view received)
{
    constexpr unsigned kChangeCipherSpec = 0x14;
    constexpr unsigned kHandshakeRecord = 0x16;
    constexpr unsigned kVersionMajor = 0x03;
    constexpr unsigned kCertificateRequest = 13;
    constexpr std::size_t kRecordHeader = 5;
    constexpr std::size_t kMessageHeader = 4;
    std::string messages;
    for (std::size_t at = 0; at + kRecordHeader <= received.size();) {
        const unsigned type = Byte(received, at);
        const std::size_t length = Byte(received, at + 3) << 8 | Byte(received, at + 4);
        if (type == kChangeCipherSpec || Byte(received, at + 1) != kVersionMajor)
            break;
        if (type == kHandshakeRecord)
            messages.append(received.substr(at + kRecordHeader, length));
        at += kRecordHeader + length;
    }
    for (std::size_t at = 0; at + kMessageHeader <= messages.size();) {
        if (Byte(messages, at) == kCertificateRequest)
            return true;
        const std::size_t length = Byte(messages, at + 1) << 16 | Byte(messages, at + 2) << 8 | Byte(messages, at + 3);
        at += kMessageHeader + length;
    }
    return false;
}

std::string ProtocolName(DWORD protocol)
{
    if (protocol & SP_PROT_TLS1_3)
        return "TLS 1.3";
    if (protocol & SP_PROT_TLS1_2)
        return "TLS 1.2";
    char text[40];
    std::snprintf(text, sizeof text, "TLS (SChannel protocol 0x%X)", static_cast<unsigned>(protocol));
    return text;
}

class TlsConnection final : public Connection {
public:
    // `client`: our certificate for the collector, or null to offer none.
    TlsConnection(std::unique_ptr<Connection> plainConnection, const std::string& hostName,
                  std::shared_ptr<const ClientCertificate> client)
        : plain(std::move(plainConnection)),
          serverName(IsAddressLiteral(hostName) ? std::wstring() : WideText(hostName)),
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
            throw ExceptionBase(kStartFailed +
                                ": SChannel gives no TLS 1.2 client credentials: " + StatusClause(status));
    }

    // The whole exchange within `timeoutMs`. A collector that asks for a client certificate gets
    // ours, or none when there is none, and decides itself whether to go on. When it ends the
    // handshake after asking, the reason names the certificate: collectors only close the
    // connection, and their logs say why.
    void Handshake(std::uint32_t timeoutMs)
    {
        try {
            Negotiate(timeoutMs);
        } catch (const ExceptionBase& e) {
            if (!certificateAsked)
                throw;
            if (clientCertificate == nullptr)
                throw ExceptionBase(kStartFailed +
                                    ": the collector asks for a client certificate: give one with --client-cert");
            throw ExceptionBase(e.GetFullMessage(": ") + "; it asked for a client certificate and may refuse " +
                                clientCertificate->File() +
                                " (not signed by a CA it trusts, or not a name it permits)");
        }
    }

    CertContext PeerCertificate()
    {
        const CERT_CONTEXT* certificate = nullptr;
        const SECURITY_STATUS status =
            QueryContextAttributesW(context.AddressOf(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
        CertContext owned(certificate);
        if (status != SEC_E_OK || !owned)
            throw ExceptionBase("Refused the collector's certificate: SChannel gives none: " + StatusClause(status));
        return owned;
    }

    void Send(std::string_view bytes, std::uint32_t timeoutMs) override
    {
        RequireUsable(kSendFailed);
        std::string wire;
        while (!bytes.empty()) {
            const std::size_t length = std::min<std::size_t>(bytes.size(), sizes.cbMaximumMessage);
            AppendRecord(bytes.substr(0, length), wire);
            bytes.remove_prefix(length);
        }
        plain->Send(wire, timeoutMs);
    }

    std::string Receive(std::uint32_t timeoutMs) override
    {
        RequireUsable(kReceiveFailed);
        Timeout budget(timeoutMs);
        for (;;) {
            DecryptPending(budget);
            if (!decrypted.empty())
                return std::exchange(decrypted, std::string());
            if (peerClosed)
                throw ExceptionBase(kCollectorClosedText);
            if (undecrypted.size() > kLargestPending)
                throw ExceptionBase(kReceiveFailed + ": it sends no valid TLS record");
            std::string bytes = plain->Receive(budget.Remaining());
            if (bytes.empty())
                return {};
            undecrypted += bytes;
        }
    }

    bool Close(std::uint32_t timeoutMs) noexcept override
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

    std::string Protocol() const override { return protocol; }

private:
    static constexpr DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;

    // Client credentials from `request` (SCH_CREDENTIALS or SCHANNEL_CRED), kept when SChannel
    // gives them.
    SECURITY_STATUS Acquire(void* request)
    {
        TimeStamp expiry;
        // Owned only once the call has succeeded: a failed one may leave anything in `acquired`.
        CredHandle acquired = CredentialsTraits::Empty();
        const SECURITY_STATUS status =
            AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                      request, nullptr, nullptr, &acquired, &expiry);
        if (status == SEC_E_OK)
            credentials.Reset(acquired);
        return status;
    }

    void Negotiate(std::uint32_t timeoutMs)
    {
        Timeout budget(timeoutMs);
        const SECURITY_STATUS hello = Step(nullptr, budget);
        if (hello != SEC_I_CONTINUE_NEEDED)
            throw ExceptionBase(kHandshakeFailed + ": " + StatusClause(hello));
        ReadHandshake(budget, timeoutMs);
        RequireTlsAnswer(undecrypted);
        bool readFirst = false;
        bool answeredWithout = false;
        for (;;) {
            if (readFirst)
                ReadHandshake(budget, timeoutMs);
            else if (budget.Expired())
                throw ExceptionBase(kHandshakeFailed + ": not done within " + DurationText(timeoutMs));
            SecBuffer buffers[2] = {{PendingLength(), SECBUFFER_TOKEN, undecrypted.data()},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc input{SECBUFFER_VERSION, 2, buffers};
            const SECURITY_STATUS status = Step(&input, budget);
            if (status == SEC_E_OK) {
                KeepExtra(buffers[1]);
                break;
            }
            if (status == SEC_I_CONTINUE_NEEDED) {
                KeepExtra(buffers[1]);
                readFirst = undecrypted.empty();
            } else if (status == SEC_E_INCOMPLETE_MESSAGE) {
                readFirst = true;
            } else if (status == SEC_I_INCOMPLETE_CREDENTIALS && !answeredWithout) {
                certificateAsked = true;
                answeredWithout = true;  // the same input again, now answered without a certificate
                readFirst = false;
            } else {
                throw ExceptionBase(kHandshakeFailed + ": " + StatusClause(status));
            }
        }
        const SECURITY_STATUS sized = QueryContextAttributesW(context.AddressOf(), SECPKG_ATTR_STREAM_SIZES, &sizes);
        if (sized != SEC_E_OK)
            throw ExceptionBase(kStartFailed + ": SChannel gives no record sizes: " + StatusClause(sized));
        SecPkgContext_ConnectionInfo connection{};
        const SECURITY_STATUS described =
            QueryContextAttributesW(context.AddressOf(), SECPKG_ATTR_CONNECTION_INFO, &connection);
        protocol = described == SEC_E_OK ? ProtocolName(connection.dwProtocol) : "TLS (version unknown)";
    }

    // One call of InitializeSecurityContext; whatever token it makes goes to the collector.
    SECURITY_STATUS Step(SecBufferDesc* input, Timeout& budget)
    {
        SecBuffer token{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc output{SECBUFFER_VERSION, 1, &token};
        ULONG granted = 0;
        TimeStamp expiry;
        // The first call makes the context, owned once the call has succeeded; the later ones carry
        // it on in place.
        const bool first = !context;
        CtxtHandle made = SecurityContextTraits::Empty();
        CtxtHandle* const target = first ? &made : context.AddressOf();
        const SECURITY_STATUS status = InitializeSecurityContextW(
            credentials.AddressOf(), first ? nullptr : target, serverName.empty() ? nullptr : serverName.data(),
            kContextRequest, 0, 0, input, 0, target, &output, &granted, &expiry);
        const ContextBuffer tokenOwner(token.pvBuffer);
        if (first && !FAILED(status))
            context.Reset(made);
        if (!FAILED(status) && token.cbBuffer > 0 && token.pvBuffer != nullptr)
            plain->Send({static_cast<const char*>(token.pvBuffer), token.cbBuffer}, budget.Remaining());
        return status;
    }

    void ReadHandshake(Timeout& budget, std::uint32_t timeoutMs)
    {
        if (undecrypted.size() > kLargestPending)
            throw ExceptionBase(kHandshakeFailed + ": the collector does not speak TLS");
        for (;;) {
            std::string bytes;
            try {
                bytes = plain->Receive(budget.Remaining());
            } catch (const ExceptionBase& e) {
                throw ExceptionBase(kHandshakeFailed + ": " + AsClause(e.GetFullMessage(": ")));
            }
            if (!bytes.empty()) {
                undecrypted += bytes;
                NoteCertificateRequest(bytes);
                return;
            }
            if (budget.Expired()) {
                const char* what = undecrypted.empty() ? ": no answer within " : ": no complete answer within ";
                throw ExceptionBase(kHandshakeFailed + what + DurationText(timeoutMs));
            }
        }
    }

    void NoteCertificateRequest(const std::string& bytes)
    {
        if (certificateAsked || fromCollector.size() > kLargestPending)
            return;
        fromCollector += bytes;
        certificateAsked = RequestsCertificate(fromCollector);
    }

    // SChannel used the front of `undecrypted`; what it left is the tail of the given length.
    void KeepExtra(const SecBuffer& extra)
    {
        if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer <= undecrypted.size())
            undecrypted.erase(0, undecrypted.size() - extra.cbBuffer);
        else
            undecrypted.clear();
    }

    void AppendRecord(std::string_view text, std::string& wire)
    {
        const std::size_t start = wire.size();
        wire.resize(start + sizes.cbHeader + text.size() + sizes.cbTrailer);
        char* record = wire.data() + start;
        std::memcpy(record + sizes.cbHeader, text.data(), text.size());
        const auto length = static_cast<unsigned long>(text.size());
        SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                                {length, SECBUFFER_DATA, record + sizes.cbHeader},
                                {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + length},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = EncryptMessage(context.AddressOf(), 0, &message, 0);
        if (status != SEC_E_OK)
            throw ExceptionBase(kSendFailed + ": encryption failed: " + StatusClause(status));
        wire.resize(start + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    }

    // Decrypts every complete record of `undecrypted` into `decrypted`. The collector's
    // close_notify comes back as SEC_I_CONTEXT_EXPIRED on Windows and as SEC_E_OK without any
    // text under Wine; either marks the end, after the text that came before it. Handshake
    // messages after the handshake (TLS 1.3's session tickets, a key update) come back as
    // SEC_I_RENEGOTIATE and belong to InitializeSecurityContext, with the bytes that follow them.
    void DecryptPending(Timeout& budget)
    {
        while (!peerClosed && (handshakeAgain || !undecrypted.empty())) {
            if (handshakeAgain) {
                if (!ContinueHandshake(budget))
                    return;
                continue;
            }
            SecBuffer buffers[4] = {{PendingLength(), SECBUFFER_DATA, undecrypted.data()},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
            const SECURITY_STATUS status = DecryptMessage(context.AddressOf(), &message, 0, nullptr);
            if (status == SEC_E_INCOMPLETE_MESSAGE)
                return;
            if (status == SEC_I_CONTEXT_EXPIRED) {
                peerClosed = true;
                return;
            }
            if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE)
                throw ExceptionBase(kReceiveFailed + ": decryption failed: " + StatusClause(status));
            const SecBuffer* text = FindBuffer(buffers, 4, SECBUFFER_DATA);
            const SecBuffer* extra = FindBuffer(buffers, 4, SECBUFFER_EXTRA);
            const bool hasText = text != nullptr && text->cbBuffer > 0;
            if (hasText)
                decrypted.append(static_cast<const char*>(text->pvBuffer), text->cbBuffer);
            if (extra != nullptr) {
                KeepExtra(*extra);
            } else {
                undecrypted.clear();
                peerClosed = !hasText && status == SEC_E_OK;
            }
            handshakeAgain = status == SEC_I_RENEGOTIATE;
        }
    }

    // Hands what the collector sent after a post-handshake message to InitializeSecurityContext,
    // which sends whatever answer it makes. False when it needs more bytes first.
    bool ContinueHandshake(Timeout& budget)
    {
        SecBuffer buffers[2] = {{PendingLength(), SECBUFFER_TOKEN, undecrypted.data()}, {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc input{SECBUFFER_VERSION, 2, buffers};
        const SECURITY_STATUS status = Step(&input, budget);
        if (status == SEC_E_INCOMPLETE_MESSAGE)
            return false;
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
            throw ExceptionBase(kReceiveFailed + ": SChannel refuses a handshake message sent after the handshake: " +
                                StatusClause(status));
        KeepExtra(buffers[1]);
        handshakeAgain = status == SEC_I_CONTINUE_NEEDED;
        return !handshakeAgain || !undecrypted.empty();
    }

    bool SendCloseNotify(Timeout& budget)
    {
        DWORD shutdown = SCHANNEL_SHUTDOWN;
        SecBuffer token{sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
        SecBufferDesc control{SECBUFFER_VERSION, 1, &token};
        if (ApplyControlToken(context.AddressOf(), &control) != SEC_E_OK)
            return false;
        return !FAILED(Step(nullptr, budget));
    }

    unsigned long PendingLength() const { return static_cast<unsigned long>(undecrypted.size()); }

    void RequireUsable(const std::string& failure) const
    {
        if (closed)
            throw ExceptionBase(failure + ": the connection is closed");
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

}  // namespace

std::unique_ptr<Connection> StartTls(std::unique_ptr<Connection> plain, const TlsPolicy& policy,
                                     std::uint32_t timeoutMs)
{
    const CertificateCheck check(policy);
    std::shared_ptr<const ClientCertificate> client;
    if (!policy.clientCertificate.empty())
        client = LoadClientCertificate(policy.clientCertificate);
    auto tls = std::make_unique<TlsConnection>(std::move(plain), policy.hostName, std::move(client));
    tls->Handshake(timeoutMs);
    check.Check(*tls->PeerCertificate().Get());
    return tls;
}

}  // namespace ZintarForward
