#include "tools/zintar-fleet/LoaderJournal.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/Exceptions.h"

namespace ZintarFleet {

namespace {

constexpr int kMaxJournals = 64;  // loaders running at once, one per rsyslog worker

using ZintarUtil::Exceptions::ExceptionBase;

[[noreturn]] void Fail(const std::string& what)
{
    throw ExceptionBase("Failed to " + what + ": " + std::strerror(errno));
}

std::string JournalName(int number)
{
    return "loader-" + std::to_string(number) + ".journal";
}

// Opens `path` (made if `make`) and locks it without waiting; -1 when another loader holds it, or
// it is not there and not to be made.
int OpenLocked(const std::string& path, bool make)
{
    const int descriptor = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | (make ? O_CREAT : 0), 0600);
    if (descriptor < 0 && !make && errno == ENOENT)
        return -1;
    if (descriptor < 0)
        Fail("open the loader's journal " + path);
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

void ReadLines(const std::string& path, std::vector<std::string>& lines)
{
    std::ifstream file(path, std::ios::binary);
    std::string line;
    // A last line without its line end was cut short by the loader's death before it was answered.
    while (std::getline(file, line))
        if (!file.eof())
            lines.push_back(line);
}

}  // namespace

LoaderJournal::LoaderJournal(const std::string& folder) : folder(folder)
{
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        Fail("make the loader's journal folder " + folder);
    for (int number = 0; number < kMaxJournals; ++number) {
        const std::string candidate = folder + "/" + JournalName(number);
        const int held = OpenLocked(candidate, descriptor < 0);
        if (held < 0)
            continue;  // a running loader's, or none
        const size_t before = carried.size();
        ReadLines(candidate, carried);
        if (descriptor < 0) {
            descriptor = held;
            path = candidate;
        } else if (carried.size() > before) {
            // Held until its lines are stored, so that no loader starting meanwhile writes into it.
            adopted.push_back({candidate, held});
        } else {
            close(held);
        }
    }
    if (descriptor < 0)
        throw ExceptionBase("Failed to take a journal in " + folder + ": " + std::to_string(kMaxJournals) +
                            " loaders hold one each");
}

LoaderJournal::~LoaderJournal()
{
    for (const auto& [other, held] : adopted)
        close(held);
    if (descriptor >= 0)
        close(descriptor);
}

void LoaderJournal::Keep(std::string_view line)
{
    std::string text(line);
    text += '\n';
    for (size_t written = 0; written < text.size();) {
        const ssize_t n = write(descriptor, text.data() + written, text.size() - written);
        if (n < 0 && errno != EINTR)
            Fail("write the loader's journal " + path);
        written += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

void LoaderJournal::Forget()
{
    if (ftruncate(descriptor, 0) != 0)
        Fail("empty the loader's journal " + path);
    for (const auto& [other, held] : adopted) {
        unlink(other.c_str());
        close(held);
    }
    adopted.clear();
}

}  // namespace ZintarFleet
