#include "tools/zintar-fleet/FleetUsers.h"

#include <fstream>
#include <iostream>
#include <vector>

#include <fcntl.h>
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include "util/Exceptions.h"
#include "util/UsageError.h"

namespace ZintarFleet {

using ZintarUtil::Exceptions::ExceptionBase;

namespace {

void Initialise()
{
    if (sodium_init() < 0)
        throw ExceptionBase("libsodium could not be initialised");
}

std::map<std::string, std::string> ReadLines(const std::string& path, bool mustExist)
{
    std::map<std::string, std::string> hashes;
    std::ifstream in(path);
    if (!in) {
        if (mustExist)
            throw ExceptionBase("Cannot read the user file " + path + " (make it with zintar-fleet adduser NAME)");
        return hashes;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t colon = line.find(':');
        if (colon == 0 || colon == std::string::npos || !line.substr(colon + 1).starts_with("$argon2id$"))
            throw ExceptionBase(path + ":" + std::to_string(number) +
                                " is not NAME:HASH as zintar-fleet adduser writes");
        hashes[line.substr(0, colon)] = line.substr(colon + 1);
    }
    return hashes;
}

}  // namespace

struct UserFile::Remembered {
    unsigned char key[crypto_generichash_KEYBYTES];
    std::mutex lock;   // the set
    std::mutex check;  // one Argon2id at a time
    std::set<std::string> good;

    std::string Digest(const std::string& name, const std::string& password) const
    {
        const std::string both = name + '\0' + password;
        unsigned char out[crypto_generichash_BYTES];
        crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(both.data()), both.size(), key,
                           sizeof key);
        return std::string(reinterpret_cast<const char*>(out), sizeof out);
    }
};

UserFile UserFile::Load(const std::string& path)
{
    Initialise();
    UserFile users;
    users.hashes = std::make_shared<std::map<std::string, std::string>>(ReadLines(path, true));
    if (users.hashes->empty())
        throw ExceptionBase("The user file " + path + " names nobody (zintar-fleet adduser NAME adds one)");
    users.remembered = std::make_shared<Remembered>();
    randombytes_buf(users.remembered->key, sizeof users.remembered->key);
    return users;
}

void UserFile::Add(const std::string& path, const std::string& name, const std::string& password)
{
    Initialise();
    if (name.empty() || name.find_first_of(":\r\n") != std::string::npos)
        throw ZintarUtil::UsageError("a user's name is not empty and holds no ':' or line end");
    if (password.empty())
        throw ZintarUtil::UsageError("an empty password is no password");
    std::map<std::string, std::string> hashes = ReadLines(path, false);
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw ExceptionBase("Out of memory while hashing the password");
    hashes[name] = hash;
    // Written beside and renamed over, so that a running page never reads half a file.
    const std::string temporary = path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw ExceptionBase("Cannot write " + temporary);
    std::string text;
    for (const auto& [user, userHash] : hashes)
        text += user + ":" + userHash + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    close(fd);
    if (!written || rename(temporary.c_str(), path.c_str()) != 0)
        throw ExceptionBase("Cannot write the user file " + path);
}

bool UserFile::Allows(const std::string& authorization) const
{
    if (!authorization.starts_with("Basic ") || authorization.size() > 1024)
        return false;
    const std::string encoded = authorization.substr(6);
    std::vector<unsigned char> decoded(encoded.size());
    std::size_t size = 0;
    if (sodium_base642bin(decoded.data(), decoded.size(), encoded.data(), encoded.size(), nullptr, &size, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    const std::string pair(reinterpret_cast<const char*>(decoded.data()), size);
    const std::size_t colon = pair.find(':');
    if (colon == std::string::npos)
        return false;
    const std::string name = pair.substr(0, colon), password = pair.substr(colon + 1);
    const auto user = hashes->find(name);
    if (user == hashes->end())
        return false;
    const std::string digest = remembered->Digest(name, password);
    {
        std::lock_guard guard(remembered->lock);
        if (remembered->good.contains(digest))
            return true;
    }
    std::lock_guard one(remembered->check);
    if (crypto_pwhash_str_verify(user->second.c_str(), password.data(), password.size()) != 0)
        return false;
    std::lock_guard guard(remembered->lock);
    remembered->good.insert(digest);
    return true;
}

std::string ReadPassword(const std::string& prompt)
{
    std::string password;
    if (!isatty(STDIN_FILENO)) {
        std::getline(std::cin, password);
        return password;
    }
    std::cerr << prompt << std::flush;
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::getline(std::cin, password);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << '\n';
    return password;
}

}  // namespace ZintarFleet
