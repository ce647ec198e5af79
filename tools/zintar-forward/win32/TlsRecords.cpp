// The records that carry the text once the handshake is done: each Send encrypted into records
// of at most SChannel's largest message, each Receive decrypted, a partial record and surplus text
// kept for the next call, the collector's close_notify taken as the end.
#include <algorithm>
#include <cstring>
#include <utility>

#include "tools/zintar-forward/win32/TlsSession.h"
#include "util/Exceptions.h"

namespace ZintarForward::Tls {

using ZintarUtil::Timeout;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

const SecBuffer* FindBuffer(const SecBuffer* buffers, std::size_t count, unsigned long type)
{
    const SecBuffer* found =
        std::find_if(buffers, buffers + count, [type](const SecBuffer& b) { return b.BufferType == type; });
    return found != buffers + count ? found : nullptr;
}

}  // namespace

void TlsSession::Send(std::string_view bytes, std::uint32_t timeoutMs)
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

std::string TlsSession::Receive(std::uint32_t timeoutMs)
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

void TlsSession::AppendRecord(std::string_view text, std::string& wire)
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
void TlsSession::DecryptPending(Timeout& budget)
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

}  // namespace ZintarForward::Tls
