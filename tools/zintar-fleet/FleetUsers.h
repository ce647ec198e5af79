// The users of zintar-fleet's page beyond loopback: a file of "NAME:HASH" lines, the hash
// libsodium's crypto_pwhash_str (Argon2id, its "interactive" limits: 64 MiB and a few tenths of a
// second a check, so that a stolen file is slow to guess from). `zintar-fleet adduser` writes it;
// the page checks HTTP Basic logins against it, over HTTPS only.
//
// A check that succeeded is remembered (a keyed digest of name and password, never the password)
// so that the page's many requests cost one Argon2id each login, and one check runs at a time, so
// that a flood of wrong passwords costs the machine 64 MiB, not 64 MiB a request. Safe from any
// thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace ZintarFleet {

class UserFile {
public:
    // Reads `path`. Throws ExceptionBase when it cannot be read or a line is not NAME:HASH.
    static UserFile Load(const std::string& path);
    // Adds NAME (or replaces its password) in `path`, made with mode 0600 when missing. Throws
    // UsageError for a name with ':' or a line end, or an empty password.
    static void Add(const std::string& path, const std::string& name, const std::string& password);

    // Whether an "Authorization: Basic ..." header names a user with the right password.
    bool Allows(const std::string& authorization) const;
    std::size_t Count() const { return hashes->size(); }

private:
    struct Remembered;
    std::shared_ptr<std::map<std::string, std::string>> hashes;  // name → hash
    std::shared_ptr<Remembered> remembered;
};

// Reads a password from the terminal without echo (or a line of stdin when it is no terminal).
std::string ReadPassword(const std::string& prompt);

}  // namespace ZintarFleet
