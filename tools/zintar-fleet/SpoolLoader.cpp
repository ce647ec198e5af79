#include "tools/zintar-fleet/SpoolLoader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/Exceptions.h"

namespace ZintarFleet {

namespace {

using ZintarUtil::Exceptions::ExceptionBase;

constexpr const char* kSuffix = ".records";
constexpr std::int64_t kMaxRead = 8 << 20;  // a batch's bytes at most; a record is a few hundred

[[noreturn]] void Fail(const std::string& what)
{
    throw ExceptionBase("Failed to " + what + ": " + std::strerror(errno));
}

// The spool files, oldest first (their names are the hour they were begun).
std::vector<std::string> SpoolFiles(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* directory = opendir(folder.c_str());
    if (!directory)
        Fail("read the spool folder " + folder);
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.size() > std::strlen(kSuffix) && name.ends_with(kSuffix) && name.front() != '.')
            names.push_back(name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

// Bytes [from, from + length) of `path`.
std::string ReadPart(const std::string& path, std::int64_t from, std::int64_t length)
{
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        Fail("open the spool file " + path);
    std::string bytes(static_cast<size_t>(length), '\0');
    std::int64_t got = 0;
    while (got < length) {
        const ssize_t n = pread(descriptor, bytes.data() + got, static_cast<size_t>(length - got), from + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(descriptor);
            Fail("read the spool file " + path);
        }
        if (n == 0)
            break;
        got += n;
    }
    close(descriptor);
    bytes.resize(static_cast<size_t>(got));
    return bytes;
}

}  // namespace

SpoolLoader::SpoolLoader(std::string folder, MessageStore& store, std::function<void(const std::string&)> diagnostic)
    : folder(std::move(folder)), store(store), diagnostic(std::move(diagnostic))
{
    if (mkdir(this->folder.c_str(), 0750) != 0 && errno != EEXIST)
        Fail("make the spool folder " + this->folder);
    const std::string lockPath = this->folder + "/.loader.lock";
    lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0)
        Fail("open " + lockPath);
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        close(lock);
        throw ExceptionBase("Failed to take the spool " + this->folder + ": another loader is storing it");
    }
}

SpoolLoader::~SpoolLoader()
{
    if (lock >= 0)
        close(lock);
}

bool SpoolLoader::StoreFrom(const std::string& name, std::int64_t size, bool settled)
{
    const std::int64_t from = positions[name];
    std::string bytes = ReadPart(folder + "/" + name, from, std::min(size - from, kMaxRead));
    // Whole lines only, at most kMaxLines: a line rsyslog is still writing waits for the next look.
    // The end of a file that rsyslog left without a line end (it was killed while writing) is a line
    // of its own once the file is done.
    size_t end = 0, lines = 0;
    for (size_t at = bytes.find('\n'); at != std::string::npos && lines < kMaxLines; at = bytes.find('\n', at + 1)) {
        end = at + 1;
        ++lines;
    }
    if (lines == 0 && settled && static_cast<std::int64_t>(bytes.size()) == size - from) {
        bytes += '\n';
        end = bytes.size();
        lines = 1;
    }
    if (lines == 0)
        return false;
    std::vector<IncomingRecord> batch;
    batch.reserve(lines);
    for (size_t at = 0; at < end;) {
        const size_t lineEnd = bytes.find('\n', at);
        batch.push_back(ParseIncomingRecord(std::string_view(bytes).substr(at, lineEnd - at)));
        at = lineEnd + 1;
    }
    const SpoolPlace place{name, std::min(size, from + static_cast<std::int64_t>(end))};
    store.Store(batch, &place);
    positions[name] = place.position;
    return true;
}

bool SpoolLoader::Step()
{
    if (!positionsRead) {
        positions = store.SpoolPositions();
        positionsRead = true;
    }
    const std::vector<std::string> names = SpoolFiles(folder);
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        struct stat file {};
        if (stat((folder + "/" + name).c_str(), &file) != 0)
            continue;  // removed meanwhile
        std::int64_t& position = positions[name];
        if (file.st_size < position) {
            diagnostic("The spool file " + folder + "/" + name + " is shorter than the " + std::to_string(position) +
                       " bytes stored of it: storing it again from its start (copies add nothing)");
            position = 0;
        }
        const bool settled = i + 1 < names.size() && std::time(nullptr) - file.st_mtime >= kSettleSeconds;
        if (file.st_size > position)
            return StoreFrom(name, file.st_size, settled);
        if (settled) {
            if (unlink((folder + "/" + name).c_str()) != 0 && errno != ENOENT)
                Fail("remove the spool file " + folder + "/" + name);
            store.ForgetSpoolFile(name);
            positions.erase(name);
        }
    }
    return false;
}

}  // namespace ZintarFleet
