// Fault injection on the installed service under Windows (or Wine), part (c) of scripts/stress:
// what its restarts cost when they meet a stop or a client that holds the log's mapping. Prints
// figures; asserts nothing. Needs the driver loaded and the service installed and running.
//   ServiceStress race [ROUNDS]     SetSettings, then a stop after a random 0 to 1.5 s, then a start
//   ServiceStress resize [ROUNDS]   MaxMessage grown and shrunk while a follower holds the mapping
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "bench/BenchClock.h"
#include "bench/BenchService.h"
#include "client/win32/ServiceClient.h"
#include "util/Exceptions.h"
#include "util/win32/LogFileReader.h"

using namespace ZintarUtil;
using ZintarClient::ServiceClient;

namespace {

constexpr double kBound = 30000;  // ms a resize may take; past it the round counts as failed

double Now()
{
    return ZintarBench::Now() * 1000;  // ms
}

std::uint32_t ServerProcesses()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry{sizeof entry};
    std::uint32_t count = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        count += _stricmp(entry.szExeFile, "ZintarServer.exe") == 0 ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

bool Pings(std::uint32_t timeoutMs)
{
    try {
        ServiceClient(timeoutMs).Ping();
        return true;
    } catch (const Exceptions::ExceptionBase&) {
        return false;
    }
}

std::string ServiceLog()
{
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::string text;
    if (std::FILE* file = std::fopen((std::string(windows) + "\\ZintarServiceLog.txt").c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t read; (read = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, read);
        std::fclose(file);
    }
    return text;
}

std::size_t Count(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

void Race(int rounds)
{
    std::mt19937 random(20261206);
    double longestStop = 0, longestStart = 0;
    int hung = 0, answeredAfterStop = 0, twoProcesses = 0, unusable = 0;
    for (int round = 0; round < rounds; ++round) {
        ServiceClient(10000).SetSettings({1000u + static_cast<std::uint32_t>(round % 2), 100, 0xF, 300});
        Sleep(std::uniform_int_distribution<DWORD>(0, 1500)(random));
        const double stop = ZintarBench::ControlServiceAndWait(ZintarBench::ServiceRequest::Stop);
        hung += stop < 0 ? 1 : 0;
        longestStop = std::max(longestStop, stop);
        answeredAfterStop += Pings(200) ? 1 : 0;
        const double start = ZintarBench::ControlServiceAndWait(ZintarBench::ServiceRequest::Start);
        hung += start < 0 ? 1 : 0;
        longestStart = std::max(longestStart, start);
        twoProcesses += ServerProcesses() > 1 ? 1 : 0;
        unusable += Pings(10000) ? 0 : 1;
    }
    const std::string log = ServiceLog();
    std::printf("rounds                                         %d\n", rounds);
    std::printf("longest stop, STOP_PENDING to STOPPED          %.0f ms\n", longestStop);
    std::printf("longest start                                  %.0f ms\n", longestStart);
    std::printf("stops or starts not done within 30 s           %d\n", hung);
    std::printf("pipe answering after STOPPED                   %d\n", answeredAfterStop);
    std::printf("a second ZintarServer.exe beside the first     %d\n", twoProcesses);
    std::printf("service not answering after its start          %d\n", unusable);
    std::printf("'unhandled' or 'Invalid handle' log lines      %zu\n",
                Count(log, "unhandled") + Count(log, "Invalid handle"));
}

// A client like `zintarctl follow --poll 30000`: it holds the mapping between polls and lets go
// as soon as it sees the service stopped, then maps the file again once it is back.
DWORD WINAPI Follow(void* stop)
{
    while (WaitForSingleObject(static_cast<HANDLE>(stop), 0) == WAIT_TIMEOUT) {
        try {
            LogFileReader reader(kFileMapName);
            while (reader.ServerRunning() && WaitForSingleObject(static_cast<HANDLE>(stop), 50) == WAIT_TIMEOUT) {
            }
        } catch (const Exceptions::ExceptionBase&) {
            Sleep(50);
        }
    }
    return 0;
}

void Resize(int rounds)
{
    const HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE follower = CreateThread(nullptr, 0, &Follow, stop, 0, nullptr);
    double longest = 0, total = 0;
    int failed = 0;
    for (int round = 0; round < rounds; ++round) {
        const std::uint32_t capacity = round % 2 == 0 ? 2000 : 1000;  // grows, then shrinks
        const double start = Now();
        bool done = false;
        try {
            ServiceClient(10000).SetSettings({capacity, 100, 0xF, 300});
            while (!done && Now() - start < kBound) {
                try {
                    done = LogFileReader(kFileMapName).ReadSnapshot().header.capacity ==
                           static_cast<std::int32_t>(capacity);
                } catch (const Exceptions::ExceptionBase&) {
                }
                if (!done)
                    Sleep(20);
            }
        } catch (const Exceptions::ExceptionBase&) {
        }
        failed += done && Pings(10000) ? 0 : 1;
        longest = std::max(longest, Now() - start);
        total += Now() - start;
    }
    SetEvent(stop);
    WaitForSingleObject(follower, 10000);
    std::printf("resizes (grown and shrunk in turn)             %d\n", rounds);
    std::printf("longest, request to the new capacity shared    %.0f ms\n", longest);
    std::printf("mean                                           %.0f ms\n", total / rounds);
    std::printf("restarts that failed or left no answer         %d\n", failed);
    std::printf("'Failed to map' or 'resize' log lines          %zu\n",
                Count(ServiceLog(), "Failed to map") + Count(ServiceLog(), "Failed to resize"));
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string part = argc > 1 ? argv[1] : "";
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
    if (!ZintarBench::ServiceRunning()) {
        std::fprintf(stderr, "ServiceStress: the service is not running\n");
        return 1;
    }
    if (part == "race")
        Race(rounds);
    else if (part == "resize")
        Resize(rounds);
    else {
        std::fprintf(stderr, "usage: ServiceStress race|resize [ROUNDS]\n");
        return 2;
    }
    return 0;
}
