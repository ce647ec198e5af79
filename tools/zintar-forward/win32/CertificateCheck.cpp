#include "tools/zintar-forward/win32/CertificateCheck.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <bcrypt.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/zintar-forward/win32/SocketConnection.h"
#include "util/Exceptions.h"
#include "util/TextHelpers.h"
#include "util/TimeStamps.h"
#include "util/win32/SystemTimes.h"

namespace ZintarForward {

using ZintarUtil::RevocationCheck;
using ZintarUtil::UIntToString;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

const std::string kRefused = "Refused the collector's certificate: ";
const std::string kStartFailed = "Failed to start TLS with the collector: ";

// The time the whole chain's revocation information (CRLs, OCSP answers) may take to fetch,
// within the connection's 10 s.
constexpr DWORD kRevocationFetchMs = 5000;
// Revocation information that could not be had: accepted under --revocation soft.
constexpr DWORD kRevocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
constexpr DWORD kIgnoreRevocation = 0x80;  // SECURITY_FLAG_IGNORE_REVOCATION, of wininet.h

struct AlgorithmTraits : ZintarUtil::NullIsEmpty<BCRYPT_ALG_HANDLE> {
    static bool Close(BCRYPT_ALG_HANDLE algorithm) noexcept { return BCryptCloseAlgorithmProvider(algorithm, 0) >= 0; }
};
using Algorithm = ZintarUtil::UniqueResource<AlgorithmTraits>;

struct HashTraits : ZintarUtil::NullIsEmpty<BCRYPT_HASH_HANDLE> {
    static bool Close(BCRYPT_HASH_HANDLE hash) noexcept { return BCryptDestroyHash(hash) >= 0; }
};
using Hash = ZintarUtil::UniqueResource<HashTraits>;

struct ChainTraits : ZintarUtil::NullIsEmpty<const CERT_CHAIN_CONTEXT*> {
    static bool Close(const CERT_CHAIN_CONTEXT* chain) noexcept
    {
        CertFreeCertificateChain(chain);
        return true;
    }
};
using Chain = ZintarUtil::UniqueResource<ChainTraits>;

struct StdioFileTraits : ZintarUtil::NullIsEmpty<std::FILE*> {
    static bool Close(std::FILE* file) noexcept { return std::fclose(file) == 0; }
};
using File = ZintarUtil::UniqueResource<StdioFileTraits>;

std::string HexText(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

void RequireHashStep(NTSTATUS status, const char* step)
{
    if (status < 0)
        throw ExceptionBase(kRefused + "its SHA-256 cannot be computed: " + step + " returned " +
                            HexText(static_cast<std::uint32_t>(status)));
}

// The DER bytes of every CERTIFICATE block of a PEM text, in file order; other blocks (keys,
// parameters) are skipped.
std::vector<std::string> PemCertificates(const std::string& pem, const std::string& failure)
{
    static const std::string begin = "-----BEGIN CERTIFICATE-----";
    static const std::string end = "-----END CERTIFICATE-----";
    std::vector<std::string> certificates;
    for (std::size_t at = pem.find(begin); at != std::string::npos; at = pem.find(begin, at)) {
        const std::size_t stop = pem.find(end, at);
        if (stop == std::string::npos)
            throw ExceptionBase(failure + "certificate " + UIntToString(certificates.size() + 1) + " has no end line");
        const auto length = static_cast<DWORD>(stop + end.size() - at);
        DWORD size = 0;
        std::string der;
        bool decoded = CryptStringToBinaryA(pem.data() + at, length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                                            nullptr) != FALSE;
        if (decoded) {
            der.resize(size);
            decoded = CryptStringToBinaryA(pem.data() + at, length, CRYPT_STRING_BASE64HEADER,
                                           reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr) != FALSE;
        }
        if (!decoded)
            throw ExceptionBase(failure + "certificate " + UIntToString(certificates.size() + 1) +
                                " is not valid Base64: " + SystemErrorClause(GetLastError()));
        der.resize(size);
        certificates.push_back(std::move(der));
        at = stop + end.size();
    }
    return certificates;
}

CertStore LoadCaStore(const std::string& caFile)
{
    const std::string failure = kStartFailed + "cannot use the CA file " + caFile + ": ";
    const std::vector<std::string> certificates = PemCertificates(ReadWholeFile(caFile, failure), failure);
    if (certificates.empty())
        throw ExceptionBase(failure + "it holds no PEM certificate");
    CertStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!store)
        throw ExceptionBase(failure + SystemErrorClause(GetLastError()));
    for (std::size_t i = 0; i < certificates.size(); ++i) {
        const std::string& der = certificates[i];
        const auto* bytes = reinterpret_cast<const BYTE*>(der.data());
        if (!CertAddEncodedCertificateToStore(store.Get(), X509_ASN_ENCODING, bytes, static_cast<DWORD>(der.size()),
                                              CERT_STORE_ADD_ALWAYS, nullptr))
            throw ExceptionBase(failure + "certificate " + UIntToString(i + 1) +
                                " is not valid: " + SystemErrorClause(GetLastError()));
    }
    return store;
}

// CERT_CHAIN_ENGINE_CONFIG as Windows 8 and later know it: wincrypt.h shows dwExclusiveFlags and
// its flag only to programs built for Windows 8 on, and this one is built for Windows 7.
struct ChainEngineConfig8 {
    CERT_CHAIN_ENGINE_CONFIG windows7;
    DWORD dwExclusiveFlags;
};
constexpr DWORD kExclusiveEnableCa = 0x1;  // CERT_CHAIN_EXCLUSIVE_ENABLE_CA_FLAG
static_assert(sizeof(CERT_CHAIN_ENGINE_CONFIG) ==
              offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE));

// An engine whose only trust anchors are the CA file's certificates, intermediate CAs included:
// without kExclusiveEnableCa only a self-signed root in the file ends a chain. Wine knows only the
// Windows 7 structure and refuses the larger one (E_INVALIDARG), so there a file must hold the root.
ChainEngine EngineTrusting(HCERTSTORE roots, const std::string& caFile)
{
    ChainEngineConfig8 config{};
    config.windows7.cbSize = sizeof config;
    config.windows7.hExclusiveRoot = roots;
    config.windows7.dwUrlRetrievalTimeout = kRevocationFetchMs;
    config.dwExclusiveFlags = kExclusiveEnableCa;
    ChainEngine engine;
    if (CertCreateCertificateChainEngine(&config.windows7, engine.Put()))
        return engine;
    config.windows7.cbSize = sizeof config.windows7;
    if (!CertCreateCertificateChainEngine(&config.windows7, engine.Put()))
        throw ExceptionBase(kStartFailed + "cannot use the CA file " + caFile + ": " +
                            SystemErrorClause(GetLastError()));
    return engine;
}

std::string UtcText(const FILETIME& time)
{
    SYSTEMTIME utc{};
    if (!FileTimeToSystemTime(&time, &utc))
        return "an unreadable date";
    return ZintarUtil::TimeStampText(ZintarUtil::FieldsOf(utc), ' ', ZintarUtil::TimeStampEnd::Minute) + " UTC";
}

std::string TimeFailure(const CERT_CONTEXT& certificate)
{
    const CERT_INFO& info = *certificate.pCertInfo;
    const LONG position = CertVerifyTimeValidity(nullptr, certificate.pCertInfo);
    if (position > 0)
        return "it has expired (valid until " + UtcText(info.NotAfter) + ")";
    if (position < 0)
        return "it is not valid yet (valid from " + UtcText(info.NotBefore) + ")";
    return "a CA certificate of its chain has expired or is not valid yet";
}

std::string UntrustedFailure(const std::string& caFile)
{
    return caFile.empty() ? "it is not signed by a root CA this machine trusts"
                          : "it is not signed by the CA in " + caFile;
}

std::string SubjectName(const CERT_CONTEXT& certificate)
{
    char name[256] = {};
    CertGetNameStringA(&certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof name);
    return name;
}

// Which certificate of the chain its CA revoked, and since when.
std::string RevokedFailure(const CERT_CHAIN_CONTEXT& chain)
{
    if (chain.cChain == 0)
        return "it has been revoked";
    const CERT_SIMPLE_CHAIN& simple = *chain.rgpChain[0];
    for (DWORD i = 0; i < simple.cElement; ++i) {
        const CERT_CHAIN_ELEMENT& element = *simple.rgpElement[i];
        if ((element.TrustStatus.dwErrorStatus & CERT_TRUST_IS_REVOKED) == 0)
            continue;
        std::string text =
            i == 0 ? "it has been revoked"
                   : "the CA certificate \"" + SubjectName(*element.pCertContext) + "\" of its chain has been revoked";
        const CERT_REVOCATION_INFO* info = element.pRevocationInfo;
        if (info != nullptr && info->pCrlInfo != nullptr && info->pCrlInfo->pCrlEntry != nullptr)
            text += " (on " + UtcText(info->pCrlInfo->pCrlEntry->RevocationDate) + ")";
        return text;
    }
    return "it has been revoked";
}

// The first reason of the chain's errors that a reader can act on; Wine's SSL policy passes a
// chain that ends in an unknown root, so the chain's own status is the check that counts.
std::string TrustFailure(const CERT_CONTEXT& certificate, const CERT_CHAIN_CONTEXT& chain, DWORD errors,
                         const std::string& caFile)
{
    if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_CYCLIC))
        return UntrustedFailure(caFile);
    if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID)
        return "a signature in its chain is not valid";
    if (errors & CERT_TRUST_IS_REVOKED)
        return RevokedFailure(chain);
    if (errors & kRevocationUnknown)
        return "whether its chain has been revoked cannot be told (no CRL or OCSP answer within " +
               UIntToString(kRevocationFetchMs / 1000) + " s); --revocation soft would accept it";
    if (errors & CERT_TRUST_IS_NOT_TIME_VALID)
        return TimeFailure(certificate);
    if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
        return "it is not meant for a TLS server (extended key usage)";
    return "its chain has errors (trust status " + HexText(errors) + ")";
}

std::string PolicyFailure(const CERT_CONTEXT& certificate, DWORD error, const TlsPolicy& policy)
{
    switch (static_cast<HRESULT>(error)) {
    case CERT_E_CN_NO_MATCH:
        return "it does not name " + policy.hostName;
    case CERT_E_EXPIRED:
        return TimeFailure(certificate);
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
        return UntrustedFailure(policy.caFile);
    case CERT_E_WRONG_USAGE:
        return "it is not meant for a TLS server (extended key usage)";
    default:
        return "the system's SSL policy refuses it: " + SystemErrorClause(error);
    }
}

// The 4 or 16 bytes of an address literal; empty for anything else.
std::string AddressBytes(const std::string& host)
{
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return std::string(reinterpret_cast<const char*>(&v4), sizeof v4);
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        return std::string(reinterpret_cast<const char*>(&v6), sizeof v6);
    return {};
}

bool HasAddressEntry(const CERT_CONTEXT& certificate, const std::string& address)
{
    const CERT_INFO& info = *certificate.pCertInfo;
    const CERT_EXTENSION* extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info.cExtension, info.rgExtension);
    if (extension == nullptr || address.empty())
        return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    const ZintarUtil::UniqueLocalMemory owner(names);
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == address.size() &&
            std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0)
            return true;
    }
    return false;
}

}  // namespace

CertificateCheck::CertificateCheck(const TlsPolicy& policy) : policy(policy)
{
    if (policy.pin)
        return;
    if (policy.hostName.empty())
        throw ExceptionBase(kStartFailed + "there is neither a pin nor a host name to check its certificate by");
    if (policy.caFile.empty())
        return;
    caStore = LoadCaStore(policy.caFile);
    caEngine = EngineTrusting(caStore.Get(), policy.caFile);
}

void CertificateCheck::Check(const CERT_CONTEXT& certificate) const
{
    if (policy.pin) {
        const Sha256 digest = CertificateSha256(certificate);
        if (digest != *policy.pin)
            throw ExceptionBase(kRefused + "its SHA-256 is " + FingerprintText(digest) + ", not the pinned one");
    } else {
        CheckChain(certificate);
    }
}

void CertificateCheck::CheckChain(const CERT_CONTEXT& certificate) const
{
    LPSTR serverAuthentication = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuthentication;
    parameters.dwUrlRetrievalTimeout = kRevocationFetchMs;
    // Every certificate but the root (or the CA file's anchor), within one time for them all.
    const DWORD flags = policy.revocation == RevocationCheck::Off ? 0
                                                                  : CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                                                                        CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT;
    // The collector's intermediates came with its certificate, in the store SChannel attached.
    Chain chain;
    const HCERTCHAINENGINE engine = caEngine ? caEngine.Get() : HCCE_LOCAL_MACHINE;
    BOOL built = CertGetCertificateChain(engine, &certificate, nullptr, certificate.hCertStore, &parameters, flags,
                                         nullptr, chain.Put());
    if (!built && GetLastError() == static_cast<DWORD>(E_INVALIDARG)) {
        // Wine knows the structure without its later fields only; the engine's time then applies.
        parameters.cbSize = offsetof(CERT_CHAIN_PARA, RequestedIssuancePolicy);
        built = CertGetCertificateChain(engine, &certificate, nullptr, certificate.hCertStore, &parameters, flags,
                                        nullptr, chain.Put());
    }
    if (!built)
        throw ExceptionBase(kRefused + "no chain can be built for it: " + SystemErrorClause(GetLastError()));
    DWORD errors = chain.Get()->TrustStatus.dwErrorStatus;
    if (policy.revocation == RevocationCheck::Soft)
        errors &= ~kRevocationUnknown;
    if (errors != CERT_TRUST_NO_ERROR)
        throw ExceptionBase(kRefused + TrustFailure(certificate, *chain.Get(), errors, policy.caFile));
    CheckName(certificate, *chain.Get());
}

void CertificateCheck::CheckName(const CERT_CONTEXT& certificate, const CERT_CHAIN_CONTEXT& chain) const
{
    std::wstring serverName = WideText(policy.hostName);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = serverName.data();
    CERT_CHAIN_POLICY_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.pvExtraPolicyPara = &ssl;
    // The chain's revocation has been judged above, by the policy's setting; the system's policy
    // would refuse a status it could not fetch (Windows through the first flag, Wine the second).
    parameters.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    ssl.fdwChecks = kIgnoreRevocation;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, &chain, &parameters, &status))
        throw ExceptionBase(kRefused +
                            "the system's SSL policy cannot be applied: " + SystemErrorClause(GetLastError()));
    if (status.dwError == 0)
        return;
    // The system's policy compares DNS names (and Wine's nothing else); an IP literal is also
    // found among the certificate's IP address entries, as RFC 5425 asks.
    const bool addressNamed = static_cast<HRESULT>(status.dwError) == CERT_E_CN_NO_MATCH &&
                              HasAddressEntry(certificate, AddressBytes(policy.hostName));
    if (!addressNamed)
        throw ExceptionBase(kRefused + PolicyFailure(certificate, status.dwError, policy));
}

std::string ReadWholeFile(const std::string& path, const std::string& failure)
{
    const File file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw ExceptionBase(failure + AsClause(std::strerror(errno)));
    std::string content;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file.Get())) > 0;)
        content.append(chunk, got);
    if (std::ferror(file.Get()))
        throw ExceptionBase(failure + "it cannot be read");
    return content;
}

Sha256 CertificateSha256(const CERT_CONTEXT& certificate)
{
    Algorithm algorithm;
    RequireHashStep(BCryptOpenAlgorithmProvider(algorithm.Put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0),
                    "BCryptOpenAlgorithmProvider");
    Hash hash;
    RequireHashStep(BCryptCreateHash(algorithm.Get(), hash.Put(), nullptr, 0, nullptr, 0, 0), "BCryptCreateHash");
    RequireHashStep(BCryptHashData(hash.Get(), certificate.pbCertEncoded, certificate.cbCertEncoded, 0),
                    "BCryptHashData");
    Sha256 digest{};
    RequireHashStep(BCryptFinishHash(hash.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0),
                    "BCryptFinishHash");
    return digest;
}

bool IsAddressLiteral(const std::string& host)
{
    return !AddressBytes(host).empty();
}

std::wstring WideText(const std::string& text)
{
    if (text.empty())
        return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

}  // namespace ZintarForward
