// Timing of the log store on a real mapped file under Windows (or Wine): intake and flush through
// MessageFileServer, opening a full file, and a client's snapshot. Prints records/second.
//   LogStoreTiming [messages]   (default 50000)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Server/win32/MessageFileServer.h"
#include "bench/BenchClock.h"
#include "bench/BenchMessages.h"
#include "util/Exceptions.h"
#include "util/win32/LogFileReader.h"

using namespace ZintarServer;
using namespace ZintarUtil;
using ZintarBench::MessageAt;
using ZintarBench::Now;

namespace {

void Report(const char* what, std::uint64_t records, double seconds)
{
    std::printf("%-44s %9llu records in %8.3f ms: %12.0f records/s\n", what, static_cast<unsigned long long>(records),
                seconds * 1000, static_cast<double>(records) / seconds);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::uint32_t count = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 50000;
    char directory[MAX_PATH];
    GetTempPathA(sizeof directory, directory);
    const std::string path =
        std::string(directory) + "LogStoreTiming-" + std::to_string(GetCurrentProcessId()) + ".dat";
    const std::string tag = std::to_string(GetCurrentProcessId());
    const std::string names[4] = {"Global\\TimingMap" + tag, "Global\\TimingHeader" + tag, "Global\\TimingRead" + tag,
                                  "Global\\TimingWrite" + tag};

    ServiceSettings settings;
    settings.logFile = path;
    settings.maxMessage = settings.requestedMaxMessage = count;
    for (bool& enabled : settings.typeEnabled)
        enabled = true;
    Mutex settingsMutex;
    std::uint64_t clock = 0;
    try {
        {
            MessageFileServer server(&settings, &settingsMutex);
            double start = Now();
            server.OpenFile(names[0], names[1], names[2], names[3]);
            Report("open a new file (create, size, format)", count, Now() - start);

            start = Now();
            for (std::uint32_t i = 0; i < count; ++i)
                server.AddMessage(MessageAt(clock++));
            const double added = Now();
            server.FlushWrites();
            Report("AddMessage, in time order", count, added - start);
            Report("FlushWrites, full rewrite", count, Now() - added);

            constexpr std::uint32_t kBatch = 1000;
            start = Now();
            for (std::uint32_t batch = 0; batch < 20; ++batch) {
                for (std::uint32_t i = 0; i < kBatch; ++i)
                    server.AddMessage(MessageAt(clock++));
                server.FlushWrites();
            }
            Report("AddMessage + FlushWrites, batches of 1000", 20 * kBatch, Now() - start);

            LogFileReader reader(names[0]);
            start = Now();
            LogSnapshot snapshot = reader.ReadSnapshot();
            Report("client snapshot of the whole ring, fresh memory", snapshot.records.size(), Now() - start);
            // The ceiling: a plain copy of the same view into memory already in use, as a client that
            // reads again and again (follow, repeated reads) has it.
            const HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, names[0].c_str());
            const auto* view = static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
            std::vector<unsigned char> copy(FileLengthFor(count));
            std::memcpy(copy.data(), view, copy.size());
            start = Now();
            std::memcpy(copy.data(), view, copy.size());
            const double plain = Now() - start;
            Report("  ceiling: plain copy of the view, warm", count, plain);
            start = Now();
            reader.ReadSnapshot(snapshot);
            const double reused = Now() - start;
            Report("  client snapshot into a reused buffer", snapshot.records.size(), reused);
            std::printf("  %-42s %.2fx the ceiling\n", "", reused / plain);
            start = Now();
            reader.ReadSnapshot(snapshot, 100);
            Report("  client snapshot of the newest 100", snapshot.records.size(), Now() - start);
            UnmapViewOfFile(view);
            CloseHandle(mapping);
            server.CloseFile(InfiniteTimeout);
        }
        {
            MessageFileServer server(&settings, &settingsMutex);
            const double start = Now();
            server.OpenFile(names[0], names[1], names[2], names[3]);
            Report("open a full file (verify and load)", count, Now() - start);
        }
    } catch (const Exceptions::ExceptionBase& e) {
        std::fprintf(stderr, "LogStoreTiming: %s\n", e.GetFullMessage("\n").c_str());
        DeleteFileA(path.c_str());
        return 1;
    }
    DeleteFileA(path.c_str());
    return 0;
}
