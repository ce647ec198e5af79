// The TLS handshake through SChannel: the hello, the collector's flight read until SChannel is
// done, a certificate request noticed on the way, the protocol agreed; and the handshake messages
// that come after it (TLS 1.3's session tickets, a key update).
#include <cstdio>

#include "tools/zintar-forward/win32/TlsSession.h"
#include "util/Exceptions.h"

namespace ZintarForward::Tls {

using ZintarUtil::Timeout;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

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

}  // namespace

// The whole exchange within `timeoutMs`. A collector that asks for a client certificate gets
// ours, or none when there is none, and decides itself whether to go on. When it ends the
// handshake after asking, the reason names the certificate: collectors only close the
// connection, and their logs say why.
void TlsSession::Handshake(std::uint32_t timeoutMs)
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
                            clientCertificate->File() + " (not signed by a CA it trusts, or not a name it permits)");
    }
}

CertContext TlsSession::PeerCertificate()
{
    const CERT_CONTEXT* certificate = nullptr;
    const SECURITY_STATUS status =
        QueryContextAttributesW(context.AddressOf(), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    CertContext owned(certificate);
    if (status != SEC_E_OK || !owned)
        throw ExceptionBase("Refused the collector's certificate: SChannel gives none: " + StatusClause(status));
    return owned;
}

void TlsSession::Negotiate(std::uint32_t timeoutMs)
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
        SecBuffer buffers[2] = {{PendingLength(), SECBUFFER_TOKEN, undecrypted.data()}, {0, SECBUFFER_EMPTY, nullptr}};
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
SECURITY_STATUS TlsSession::Step(SecBufferDesc* input, Timeout& budget)
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

void TlsSession::ReadHandshake(Timeout& budget, std::uint32_t timeoutMs)
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

void TlsSession::NoteCertificateRequest(const std::string& bytes)
{
    if (certificateAsked || fromCollector.size() > kLargestPending)
        return;
    fromCollector += bytes;
    certificateAsked = RequestsCertificate(fromCollector);
}

// SChannel used the front of `undecrypted`; what it left is the tail of the given length.
void TlsSession::KeepExtra(const SecBuffer& extra)
{
    if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer <= undecrypted.size())
        undecrypted.erase(0, undecrypted.size() - extra.cbBuffer);
    else
        undecrypted.clear();
}

// Hands what the collector sent after a post-handshake message to InitializeSecurityContext,
// which sends whatever answer it makes. False when it needs more bytes first.
bool TlsSession::ContinueHandshake(Timeout& budget)
{
    SecBuffer buffers[2] = {{PendingLength(), SECBUFFER_TOKEN, undecrypted.data()}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc input{SECBUFFER_VERSION, 2, buffers};
    const SECURITY_STATUS status = Step(&input, budget);
    if (status == SEC_E_INCOMPLETE_MESSAGE)
        return false;
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED)
        throw ExceptionBase(kReceiveFailed +
                            ": SChannel refuses a handshake message sent after the handshake: " + StatusClause(status));
    KeepExtra(buffers[1]);
    handshakeAgain = status == SEC_I_CONTINUE_NEEDED;
    return !handshakeAgain || !undecrypted.empty();
}

}  // namespace ZintarForward::Tls
