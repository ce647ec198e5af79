#include "tools/zintar-forward/win32/ClientCertificate.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include <ncrypt.h>

#include "tools/zintar-forward/win32/SocketConnection.h"
#include "util/Exceptions.h"

namespace ZintarForward {

using ZintarUtil::Exceptions::ExceptionBase;

namespace {

constexpr DWORD kWrongPassword = ERROR_INVALID_PASSWORD;

using KeyContainer = ImportedKeys::Container;

std::string ImportFailure(DWORD error)
{
    if (error == kWrongPassword || error == static_cast<DWORD>(HRESULT_FROM_WIN32(kWrongPassword)))
        return "the password is wrong";
    // Wine's import sets no error at all, whatever went wrong.
    if (error == ERROR_SUCCESS)
        return "it cannot be imported: the password is wrong, it holds no private key, or its key is not an RSA key";
    return "it cannot be imported: " + SystemErrorClause(error);
}

// Read with an empty password: the file is kept where only the service and administrators read it.
CertStore ImportPkcs12(std::string& content, const std::string& failure)
{
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(content.size()), reinterpret_cast<BYTE*>(content.data())};
    if (!PFXIsPFXBlob(&blob))
        throw ExceptionBase(failure + "it is not a PKCS#12 file");
    SetLastError(ERROR_SUCCESS);
    // The user's key set even when the file asks for the machine's: SChannel under Wine reads
    // keys from the user's key set only.
    CertStore store(PFXImportCertStore(&blob, L"", CRYPT_USER_KEYSET));
    if (!store)
        throw ExceptionBase(failure + ImportFailure(GetLastError()));
    return store;
}

std::vector<BYTE> KeyProviderInfo(const CERT_CONTEXT& certificate)
{
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(&certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size))
        return {};
    std::vector<BYTE> info(size);
    if (!CertGetCertificateContextProperty(&certificate, CERT_KEY_PROV_INFO_PROP_ID, info.data(), &size))
        return {};
    return info;
}

bool HasPrivateKey(const CERT_CONTEXT& certificate)
{
    DWORD size = 0;
    return CertGetCertificateContextProperty(&certificate, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size) ||
           CertGetCertificateContextProperty(&certificate, CERT_KEY_CONTEXT_PROP_ID, nullptr, &size);
}

// The public half of a private key as a certificate carries it; empty when it cannot be had.
std::vector<BYTE> PublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key, DWORD keySpec)
{
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(key, keySpec, X509_ASN_ENCODING, nullptr, &size))
        return {};
    std::vector<BYTE> exported(size);
    if (!CryptExportPublicKeyInfo(key, keySpec, X509_ASN_ENCODING,
                                  reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(exported.data()), &size))
        return {};
    return exported;
}

// Whether the private key attached to `certificate` is the one its public key belongs to: an
// import may attach the key to more certificates of the file (Wine's does to intermediate CAs).
bool KeyMatches(const CERT_CONTEXT& certificate, const std::string& failure)
{
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
    DWORD keySpec = 0;
    BOOL callerFrees = FALSE;
    // Cached in the certificate's context: released with it, never by us. A CNG key (from a file
    // that names a CNG provider) serves SChannel as well as a CryptoAPI one.
    constexpr DWORD kAcquire =
        CRYPT_ACQUIRE_CACHE_FLAG | CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG;
    if (!CryptAcquireCertificatePrivateKey(&certificate, kAcquire, nullptr, &key, &keySpec, &callerFrees))
        throw ExceptionBase(failure + "its private key cannot be opened: " + SystemErrorClause(GetLastError()));
    // Wine reports the key's kind as both kinds at once (3); its import makes exchange keys.
    std::vector<BYTE> exported = PublicKeyInfo(key, keySpec);
    if (exported.empty())
        exported = PublicKeyInfo(key, AT_KEYEXCHANGE);
    if (exported.empty())
        exported = PublicKeyInfo(key, AT_SIGNATURE);
    auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(exported.data());
    return !exported.empty() &&
           CertComparePublicKeyInfo(X509_ASN_ENCODING, &certificate.pCertInfo->SubjectPublicKeyInfo, info) != FALSE;
}

CertContext CertificateWithKey(HCERTSTORE store, const std::string& failure)
{
    bool anyKey = false;
    for (const CERT_CONTEXT* at = CertEnumCertificatesInStore(store, nullptr); at != nullptr;
         at = CertEnumCertificatesInStore(store, at)) {
        if (!HasPrivateKey(*at))
            continue;
        anyKey = true;
        if (KeyMatches(*at, failure))
            return CertContext(CertDuplicateCertificateContext(at));  // the walk frees `at` itself
    }
    throw ExceptionBase(failure +
                        (anyKey ? "none of its certificates belongs to its private key" : "it holds no private key"));
}

std::vector<KeyContainer> ImportedContainers(HCERTSTORE store)
{
    std::vector<KeyContainer> containers;
    for (const CERT_CONTEXT* at = CertEnumCertificatesInStore(store, nullptr); at != nullptr;
         at = CertEnumCertificatesInStore(store, at)) {
        const std::vector<BYTE> bytes = KeyProviderInfo(*at);
        if (bytes.empty())
            continue;
        const auto& info = *reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(bytes.data());
        // Type 0: a key in a CNG key storage provider, which the file named.
        if (info.pwszContainerName == nullptr)
            continue;
        KeyContainer found{info.pwszContainerName, info.pwszProvName != nullptr ? info.pwszProvName : L"",
                           info.dwProvType, info.dwFlags & CRYPT_MACHINE_KEYSET};
        const bool known = std::any_of(containers.begin(), containers.end(), [&](const KeyContainer& c) {
            return c.name == found.name && c.provider == found.provider;
        });
        if (!known)
            containers.push_back(std::move(found));
    }
    return containers;
}

std::string Failure(const std::string& file)
{
    return "Failed to start TLS with the collector: cannot use the client certificate " + file + ": ";
}

void DeleteCngKey(const KeyContainer& key)
{
    NCRYPT_PROV_HANDLE provider = 0;
    if (NCryptOpenStorageProvider(&provider, key.provider.empty() ? nullptr : key.provider.c_str(), 0) != ERROR_SUCCESS)
        return;
    NCRYPT_KEY_HANDLE opened = 0;
    const DWORD scope = (key.flags & CRYPT_MACHINE_KEYSET) != 0 ? NCRYPT_MACHINE_KEY_FLAG : 0;
    if (NCryptOpenKey(provider, &opened, key.name.c_str(), 0, scope | NCRYPT_SILENT_FLAG) == ERROR_SUCCESS &&
        NCryptDeleteKey(opened, NCRYPT_SILENT_FLAG) != ERROR_SUCCESS)  // frees the handle when it succeeds
        NCryptFreeObject(opened);
    NCryptFreeObject(provider);
}

// The newest import of this process, reused while its file's bytes stay the same.
struct LastImport {
    std::mutex mutex;
    std::string file;
    std::string content;
    std::shared_ptr<const ClientCertificate> certificate;
};

LastImport& TheLastImport()
{
    static LastImport last;
    return last;
}

}  // namespace

std::shared_ptr<const ClientCertificate> LoadClientCertificate(const std::string& file)
{
    std::string content = ReadWholeFile(file, Failure(file));
    LastImport& last = TheLastImport();
    const std::lock_guard<std::mutex> lock(last.mutex);
    if (last.certificate && last.file == file && last.content == content)
        return last.certificate;
    // The previous import goes once no connection uses it any more, its keys with it.
    last.certificate.reset();
    last.certificate = std::make_shared<const ClientCertificate>(file, content);
    last.file = file;
    last.content = std::move(content);
    return last.certificate;
}

ClientCertificate::ClientCertificate(const std::string& file, std::string content) : file(file)
{
    const std::string failure = Failure(file);
    store = ImportPkcs12(content, failure);
    keys.containers = ImportedContainers(store.Get());
    certificate = CertificateWithKey(store.Get(), failure);
}

ImportedKeys::~ImportedKeys()
{
    for (const Container& key : containers) {
        if (key.providerType == 0) {
            DeleteCngKey(key);
            continue;
        }
        HCRYPTPROV deleted = 0;
        CryptAcquireContextW(&deleted, key.name.c_str(), key.provider.empty() ? nullptr : key.provider.c_str(),
                             key.providerType, key.flags | CRYPT_DELETEKEYSET);
    }
}

}  // namespace ZintarForward
