// The forwarder's own certificate, for collectors that ask the client to prove who it is (RELP
// over TLS always does). It comes from a PKCS#12 file (.pfx, .p12) that holds the certificate and
// its private key, and is read anew for every connection, so that a replaced file counts from the
// next connection on.
//
// Importing a PKCS#12 file puts its key into a key container of the account that runs us (the
// user's key set, never the machine's: Wine's SChannel finds keys there only), a CryptoAPI one or,
// when the file names a key storage provider, a CNG key: either is a file in the account's profile.
// So a process imports a file once and reuses that import for every connection while the file's
// bytes stay the same; the keys are deleted again when the import goes (the file changed, or the
// process ends). An import without persisting its key (PKCS12_NO_PERSIST_KEY) would leave nothing
// at all, but SChannel cannot sign with such a key on many Windows versions.
//
// Used by one thread at a time, like the connection that owns it.
#pragma once

#include <windows.h>

#include <wincrypt.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/zintar-forward/win32/CertificateCheck.h"

namespace ZintarForward {

// Key containers that a PKCS#12 import filled; deleted when this goes.
class ImportedKeys {
public:
    struct Container {
        std::wstring name;
        std::wstring provider;
        DWORD providerType = 0;
        DWORD flags = 0;  // CRYPT_MACHINE_KEYSET or 0
    };

    ImportedKeys() = default;
    ImportedKeys(const ImportedKeys&) = delete;
    ImportedKeys& operator=(const ImportedKeys&) = delete;
    ~ImportedKeys();

    std::vector<Container> containers;  // providerType 0: a CNG key
};

class ClientCertificate {
public:
    // Imports `content`, read from `file` (with an empty password), and picks the certificate whose
    // private key is in it. Throws ExceptionBase "Failed to start TLS with the collector: cannot
    // use the client certificate FILE: <reason>", the reason being the system's text for a file
    // that cannot be read, "it is not a PKCS#12 file", "the password is wrong", "it cannot be
    // imported: ...", "it holds no private key", "its private key cannot be opened: ..." or "none
    // of its certificates belongs to its private key". Under Wine a password, a file without
    // a key and a key other than RSA all end in "it cannot be imported": Wine gives no reason.
    ClientCertificate(const std::string& file, std::string content);
    ClientCertificate(const ClientCertificate&) = delete;
    ClientCertificate& operator=(const ClientCertificate&) = delete;

    // The certificate to hand to SChannel; valid while this object lives.
    const CERT_CONTEXT* Certificate() const { return certificate.Get(); }
    const std::string& File() const { return file; }

private:
    // Declared in the order they are made: a failure halfway still deletes the keys, and the
    // keys go only after the store and the certificate have released the handles they cache.
    std::string file;
    ImportedKeys keys;
    CertStore store;
    CertContext certificate;
};

// The certificate of `file` for the next connection: the previous import while the file's bytes
// are the same, else a new one. Throws ExceptionBase as ClientCertificate's constructor does, and
// for a file that cannot be read.
std::shared_ptr<const ClientCertificate> LoadClientCertificate(const std::string& file);

}  // namespace ZintarForward
