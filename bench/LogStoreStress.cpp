// Fault injection on the log file under Windows (or Wine): processes killed at random moments while
// they hold access, and what that costs the others. Prints figures; asserts nothing.
//   LogStoreStress readers [KILLS]   a writer flushes batches while reader processes are killed
//                                    inside read access: the writer's stalls, messages lost
//   LogStoreStress writers [KILLS]   writer processes killed inside FlushWrites, each followed by a
//                                    new writer: files repaired or emptied, published messages lost
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Server/win32/MessageFileServer.h"
#include "bench/BenchClock.h"
#include "bench/BenchMessages.h"
#include "util/Exceptions.h"
#include "util/LogFileSoundness.h"
#include "util/TextHelpers.h"
#include "util/win32/AutoHandle.h"
#include "util/win32/Event.h"
#include "util/win32/LogFileReader.h"
#include "util/win32/Thread.h"

using namespace ZintarUtil;
using namespace ZintarUtil::Exceptions;
using ZintarBench::Now;
using ZintarServer::MessageFileServer;

namespace {

constexpr std::uint32_t kCapacity = 2000;
constexpr std::uint32_t kBound = 60000;  // any single wait; a hang ends the run instead of stalling it

// Every message carries its number in its text, and its time stamp rises with the number (a
// millisecond each; each writer starts 10,000,000 further on), so a record names its message.
LogMessage NumberedMessage(std::uint64_t number, std::uint64_t lateness = 0)
{
    LogMessage message = ZintarBench::MessageAt(number - std::min(number, lateness));
    std::snprintf(message.text, sizeof message.text, "%" PRIu64, number);
    std::strcpy(message.auxText, "stress");
    return message;
}

std::uint64_t NumberOf(const MessageRecord& record)
{
    return std::strtoull(record.message.text, nullptr, 10);
}

struct StoreNames {
    std::string path, map, header, read, write;

    static StoreNames ForThisRun()
    {
        char directory[MAX_PATH];
        GetTempPathA(sizeof directory, directory);
        const std::string tag = std::to_string(GetCurrentProcessId());
        return {std::string(directory) + "LogStoreStress-" + tag + ".dat", "Global\\StressMap" + tag,
                "Global\\StressHeader" + tag, "Global\\StressRead" + tag, "Global\\StressWrite" + tag};
    }
};

// A writer of this process or of a child on the run's file.
class Writer {
public:
    explicit Writer(const StoreNames& names) : server(&settings, &settingsMutex)
    {
        settings.logFile = names.path;
        settings.maxMessage = settings.requestedMaxMessage = kCapacity;
        for (bool& enabled : settings.typeEnabled)
            enabled = true;
        server.OpenFile(names.map, names.header, names.read, names.write);
    }
    MessageFileServer& Server() { return server; }

private:
    ZintarServer::ServiceSettings settings;
    Mutex settingsMutex;
    MessageFileServer server;
};

// The same program started with "--child ARGS..."; ended at once by Kill or by its destructor.
class Child {
public:
    explicit Child(const std::vector<std::string>& args)
    {
        char self[MAX_PATH * 2] = {};
        GetModuleFileNameA(nullptr, self, sizeof self);
        std::string line = "\"";
        line += self;
        line += "\" --child";
        for (const std::string& arg : args)
            line += " \"" + arg + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            throw ExceptionWindows("Failed to start a child, CreateProcess() failed");
        CloseHandle(info.hThread);
        process.Take(info.hProcess);
    }
    ~Child() { Kill(); }
    void Kill()
    {
        TerminateProcess(process.Get(), 99);
        WaitForSingleObject(process.Get(), kBound);
    }

private:
    AutoHandle process;
};

// A named event made for one hand-over, reset until the other side signals it.
struct HandOver : Event {
    explicit HandOver(const std::string& name) : Event(name, nullptr) { RemoveSignal(); }
};

void WaitOrThrow(Event& event, const char* what)
{
    if (!event.Wait(kBound))
        throw ExceptionBase(std::string("Timed out waiting for ") + what);
}

// Two counters in shared memory that a writer child moves around each FlushWrites: a kill lands
// inside the flush when they differ.
struct FlushMarks {
    std::atomic<std::uint64_t> begun;
    std::atomic<std::uint64_t> ended;
    std::atomic<std::uint64_t> batch;  // records the flush under way writes, the displaced ones included
};

class SharedMarks {
public:
    explicit SharedMarks(const std::string& name)
    {
        mapping.Take(
            CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(FlushMarks), name.c_str()));
        void* view = mapping.IsValid() ? MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
        if (view == nullptr)
            throw ExceptionWindows("Failed to share the flush marks");
        marks = static_cast<FlushMarks*>(view);
    }
    ~SharedMarks() { UnmapViewOfFile(marks); }
    FlushMarks* operator->() { return marks; }

private:
    AutoHandle mapping;
    FlushMarks* marks = nullptr;
};

// Child: takes read access, says so, and stays inside until it is killed.
int HoldReadAccess(const std::vector<std::string>& args)
{
    LogFileReader reader(args.at(0));
    Event inside(args.at(1), nullptr);
    reader.GrabReadAccess();
    inside.SetSignal();
    Sleep(kBound);
    return 3;
}

// Child: opens the file as its writer, says so, waits for the go and flushes batches of messages
// numbered on from the number it is given (a sixteenth of them late) until it is killed.
int WriteBatches(const std::vector<std::string>& args)
{
    const StoreNames names{args.at(0), args.at(1), args.at(2), args.at(3), args.at(4)};
    std::uint64_t number = std::strtoull(args.at(5).c_str(), nullptr, 10);
    Event opened(args.at(6), nullptr);
    Event go(args.at(7), nullptr);
    SharedMarks marks(args.at(8));
    Writer writer(names);
    opened.SetSignal();
    go.Wait(kBound);
    std::minstd_rand random(static_cast<unsigned>(number));
    for (;;) {
        const int batch = 1 + static_cast<int>(random() % 60);
        for (int i = 0; i < batch; ++i) {
            const bool late = random() % 16 == 0;
            writer.Server().AddMessage(NumberedMessage(++number, late ? random() % 400 : 0));
        }
        marks->batch = static_cast<std::uint64_t>(writer.Server().Queue().PendingCount());
        marks->begun.fetch_add(1);
        writer.Server().FlushWrites();
        marks->ended.fetch_add(1);
    }
}

// Messages lost from a snapshot of a writer that numbered its messages 1, 2, 3...: the newest
// min(capacity, newest) numbers must all be there.
std::uint64_t MissingNewest(const LogSnapshot& snapshot)
{
    std::uint64_t newest = 0;
    for (const MessageRecord& record : snapshot.records)
        newest = std::max(newest, NumberOf(record));
    const std::uint64_t expected = std::min<std::uint64_t>(kCapacity, newest);
    std::set<std::uint64_t> present;
    for (const MessageRecord& record : snapshot.records)
        if (NumberOf(record) + expected > newest)
            present.insert(NumberOf(record));
    return expected - present.size();
}

// (a) This process flushes a batch every 10 ms; reader processes enter read access and are killed
// inside it, one after another.
void StressReaders(int kills)
{
    const StoreNames names = StoreNames::ForThisRun();
    Writer writer(names);
    std::vector<std::vector<double>> stallsPerDeath(kills + 1);  // [n]: from the nth reader's start on
    std::atomic<int> deaths{0};
    std::atomic<std::uint64_t> flushed{0};

    class Flusher : public Threading::Thread {
    public:
        Flusher(Writer& writer, std::vector<std::vector<double>>& stalls, std::atomic<int>& deaths,
                std::atomic<std::uint64_t>& flushed)
            : Thread("Stress Flusher"), writer(writer), stalls(stalls), deaths(deaths), flushed(flushed)
        {
        }
        ~Flusher() override
        {
            Stop();
            Join(InfiniteTimeout);
        }

    protected:
        std::uint32_t Run() override
        {
            std::uint64_t number = 0;
            while (!StopRequested()) {
                for (int i = 0; i < 20; ++i)
                    writer.Server().AddMessage(NumberedMessage(++number));
                const int period = deaths.load();  // a stall belongs to the reader started before it
                const double start = Now();
                writer.Server().FlushWrites();
                stalls[period].push_back(Now() - start);
                flushed = number;
                Sleep(10);
            }
            return 0;
        }

    private:
        Writer& writer;
        std::vector<std::vector<double>>& stalls;
        std::atomic<int>& deaths;
        std::atomic<std::uint64_t>& flushed;
    } flusher(writer, stallsPerDeath, deaths, flushed);
    flusher.Start();

    std::minstd_rand random(GetCurrentProcessId());
    LogFileReader checker(names.map);
    LogSnapshot snapshot;
    std::uint64_t lost = 0;
    for (int death = 1; death <= kills; ++death) {
        Sleep(200 + random() % 1500);
        const std::string insideName =
            "Global\\StressInside" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(death);
        HandOver inside(insideName);
        deaths = death;
        Child reader({"hold-read", names.map, insideName});
        WaitOrThrow(inside, "a reader to enter");
        Sleep(random() % 300);
        reader.Kill();
        checker.ReadSnapshot(snapshot);
        lost += MissingNewest(snapshot);
    }
    Sleep(6000);  // past one monitor cycle after the last death
    flusher.Stop();
    flusher.Join(InfiniteTimeout);
    checker.ReadSnapshot(snapshot);
    lost += MissingNewest(snapshot);

    double longest = 0, longestAfterFirst = 0;
    std::size_t flushes = 0;
    for (int period = 0; period <= kills; ++period) {
        std::vector<double>& stalls = stallsPerDeath[period];
        flushes += stalls.size();
        std::sort(stalls.rbegin(), stalls.rend());
        if (!stalls.empty())
            longest = std::max(longest, stalls[0]);
        if (stalls.size() > 1)
            longestAfterFirst = std::max(longestAfterFirst, stalls[1]);
    }
    std::printf("readers killed inside read access:          %d\n", kills);
    std::printf("flushes (20 messages each, every 10 ms):     %zu, %" PRIu64 " messages\n", flushes, flushed.load());
    std::printf("longest single writer stall:                 %.0f ms\n", longest * 1000);
    std::printf("longest stall after the first one per death: %.0f ms\n", longestAfterFirst * 1000);
    std::printf("messages lost:                               %" PRIu64 "\n", lost);
    std::remove(names.path.c_str());
}

// Published messages missing after a new writer kept the file: a message is lost when it is gone
// although an older one stayed, or although the ring had room for it.
std::uint64_t LostFromKeptFile(const std::vector<MessageRecord>& before, const LogSnapshot& after)
{
    std::set<std::uint64_t> kept;
    for (const MessageRecord& record : after.records)
        kept.insert(NumberOf(record));
    const std::uint64_t oldestKept = after.records.empty() ? UINT64_MAX : SortKeyOf(after.records.back().message);
    const bool full = after.records.size() >= kCapacity;
    std::uint64_t lost = 0;
    for (const MessageRecord& record : before)
        if (kept.count(NumberOf(record)) == 0 && (!full || SortKeyOf(record.message) > oldestKept))
            ++lost;
    return lost;
}

bool FileOnDiskIsSound(const std::string& path)
{
    AutoHandle file;
    file.Take(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, 0, nullptr));
    std::vector<unsigned char> bytes(GetFileSize(file.Get(), nullptr));
    DWORD read = 0;
    ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    return IsSoundLogImage(bytes.data(), read);
}

// (b) Writer processes flush batches and are killed at random moments; this process reads the
// file all along and, after each kill, lets a new writer open it.
void StressWriters(int kills)
{
    const StoreNames names = StoreNames::ForThisRun();
    const std::string tag = std::to_string(GetCurrentProcessId());
    SharedMarks marks("Global\\StressMarks" + tag);
    std::minstd_rand random(GetCurrentProcessId());
    std::unique_ptr<LogFileReader> reader;
    LogSnapshot snapshot;
    int killsInside = 0, attempts = 0, unsound = 0, emptied = 0, lostMoreThanTheBatch = 0;
    std::uint64_t lost = 0, batchAtKill = 0;

    for (int generation = 0; killsInside < kills && attempts < 5 * kills; ++generation) {
        const std::string opened = "Global\\StressOpened" + tag + "-" + std::to_string(generation);
        const std::string go = "Global\\StressGo" + tag + "-" + std::to_string(generation);
        HandOver openedEvent(opened);
        HandOver goEvent(go);
        const std::vector<MessageRecord> published = snapshot.records;
        const bool soundBefore = generation == 0 || FileOnDiskIsSound(names.path);
        Child writer({"write", names.path, names.map, names.header, names.read, names.write,
                      std::to_string(std::uint64_t{10000000} * generation), opened, go, "Global\\StressMarks" + tag});
        WaitOrThrow(openedEvent, "a writer to open the file");
        if (!reader)
            reader = std::make_unique<LogFileReader>(names.map);
        reader->ReadSnapshot(snapshot);
        if (generation > 0) {
            unsound += soundBefore ? 0 : 1;
            emptied += snapshot.records.empty() && !published.empty() ? 1 : 0;
            const std::uint64_t lostHere = LostFromKeptFile(published, snapshot);
            lost += lostHere;
            lostMoreThanTheBatch += lostHere > batchAtKill ? 1 : 0;
        }
        goEvent.SetSignal();

        // Reads all along until the kill: the last snapshot is what was published before it.
        const double killAt = Now() + 0.2 + (random() % 1500) / 1000.0;
        while (Now() < killAt)
            reader->ReadSnapshot(snapshot);
        // Then the kill waits for a flush to begin and lands up to a millisecond into it.
        const double giveUpAt = Now() + 5;
        while (marks->begun.load() == marks->ended.load() && Now() < giveUpAt) {
        }
        const double into = Now() + (random() % 1000) / 1e6;
        while (Now() < into) {
        }
        writer.Kill();
        ++attempts;
        const bool inside = marks->begun.load() != marks->ended.load();
        killsInside += inside ? 1 : 0;
        batchAtKill = inside ? marks->batch.load() : 0;
        marks->begun = marks->ended.load();
    }
    std::printf("writers killed: %d, inside FlushWrites: %d\n", attempts, killsInside);
    std::printf("files proven unsound after a kill (repaired): %d\n", unsound);
    std::printf("files emptied by the next writer:             %d\n", emptied);
    std::printf("published messages lost:                      %" PRIu64 "\n", lost);
    std::printf("kills that lost more than the batch written:  %d\n", lostMoreThanTheBatch);
    reader.reset();
    std::remove(names.path.c_str());
}

int RunChild(const std::vector<std::string>& args)
{
    if (args.at(0) == "hold-read")
        return HoldReadAccess({args.begin() + 1, args.end()});
    if (args.at(0) == "write")
        return WriteBatches({args.begin() + 1, args.end()});
    return 98;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (!args.empty() && args[0] == "--child")
            return RunChild({args.begin() + 1, args.end()});
        const int kills = args.size() > 1 ? std::max(1, std::atoi(args[1].c_str())) : 20;
        if (!args.empty() && args[0] == "readers") {
            StressReaders(kills);
        } else if (!args.empty() && args[0] == "writers") {
            StressWriters(kills);
        } else {
            std::fprintf(stderr, "usage: LogStoreStress readers|writers [KILLS]\n");
            return 2;
        }
        return 0;
    } catch (const ExceptionBase& e) {
        std::fprintf(stderr, "%s\n", e.GetFullMessage("\n").c_str());
        return 1;
    }
}
