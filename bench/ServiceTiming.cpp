// Timing of the running service under Windows (or Wine), each figure next to its ceiling measured
// in the same run:
//   intake    messages/s from the device into the ring, against a bare loop of read requests and
//             a bare loop of the same kernel calls per message as the service makes (the read and
//             two take-and-give pairs of the settings lock);
//   pipes     round trips of Ping and WriteMessage, against a bare 1028-byte echo in a child;
//   memory    a full ring, for scripts/bench to read the service's memory.
// Needs the driver loaded and the service installed (scripts/bench service sets both up).
//   ServiceTiming [messages]   (default 20000)
//   ServiceTiming --burst      into a full ring, 50,500 messages pushed in batches of 1,024; returns
//                              3 s after the service has read the last, for scripts/bench to read
//                              the memory the burst left behind
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchClock.h"
#include "bench/BenchMessages.h"
#include "bench/BenchService.h"
#include "client/win32/PipeClient.h"
#include "util/Exceptions.h"
#include "util/LogFileFormat.h"
#include "util/PipeRecords.h"
#include "util/TextHelpers.h"
#include "util/win32/Mutex.h"
#include "util/win32/ZintarDeviceClient.h"

using namespace ZintarUtil;
using namespace ZintarUtil::Pipe;
using ZintarBench::Now;
using ZintarClient::PipeClient;

namespace {

constexpr std::uint32_t kRoundTrips = 2000;
constexpr char kEchoPipe[] = "\\\\.\\pipe\\ZintarTimingEcho";

void Report(const char* what, double perSecond, double ceiling = 0)
{
    if (ceiling > 0)
        std::printf("%-52s %10.0f /s   %5.1f%% of the ceiling\n", what, perSecond, 100 * perSecond / ceiling);
    else
        std::printf("%-52s %10.0f /s\n", what, perSecond);
}

void Fill(ZintarDeviceClient& device, std::uint32_t count, std::uint64_t& clock, std::uint32_t batchSize = 4096)
{
    std::vector<LogMessage> batch;
    while (count > 0) {
        batch.clear();
        for (std::uint32_t i = 0; i < batchSize && i < count; ++i)
            batch.push_back(ZintarBench::MessageAt(clock++));
        while (device.Push(batch.data(), batch.size()) == ERROR_BUSY)
            Sleep(1);
        count -= static_cast<std::uint32_t>(batch.size());
    }
}

// The number of messages in the shared ring, read without the reading protocol: the benchmark
// only watches a counter grow and holds no lock the service waits for.
class RingCounter {
public:
    RingCounter()
    {
        mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, kFileMapName);
        header =
            static_cast<const volatile FileHeader*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(FileHeader)));
        if (header == nullptr)
            throw Exceptions::ExceptionWindows("Failed to map the service's log file");
    }
    ~RingCounter()
    {
        UnmapViewOfFile(const_cast<FileHeader*>(header));
        CloseHandle(mapping);
    }
    std::int32_t Messages() const { return header->messageCount; }

private:
    HANDLE mapping = nullptr;
    const volatile FileHeader* header = nullptr;
};

double BareReads(ZintarDeviceClient& device, std::uint32_t count, std::uint64_t& clock, bool withLockPairs)
{
    Fill(device, count, clock);
    Mutex settingsMutex;
    LogMessage message;
    std::uint32_t read = 0;
    const double start = Now();
    while (device.ReadMessage(message)) {
        ++read;
        if (withLockPairs) {
            {
                Mutex::Access admission(settingsMutex, InfiniteTimeout);
            }
            {
                Mutex::Access trim(settingsMutex, InfiniteTimeout);
            }
        }
    }
    return read / (Now() - start);
}

double ServiceIntake(ZintarDeviceClient& device, std::uint32_t count, std::uint64_t& clock)
{
    RingCounter ring;
    const std::int32_t target = ring.Messages() + static_cast<std::int32_t>(count);
    const double start = Now();
    Fill(device, count, clock);
    while (ring.Messages() < target)
        Sleep(1);
    return count / (Now() - start);
}

double RoundTrips(PipeClient& client, const PipeRequest& request)
{
    const double start = Now();
    for (std::uint32_t i = 0; i < kRoundTrips; ++i)
        client.Call(request);
    return kRoundTrips / (Now() - start);
}

// The child's side of the echo ceiling: one client, each 1028-byte message sent straight back.
int RunEcho()
{
    const HANDLE request = CreateNamedPipeA(kEchoPipe, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                            1, 4096, 4096, 0, nullptr);
    const HANDLE reply = CreateNamedPipeA((std::string(kEchoPipe) + "Reply").c_str(), PIPE_ACCESS_OUTBOUND,
                                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096, 4096, 0, nullptr);
    ConnectNamedPipe(request, nullptr);
    ConnectNamedPipe(reply, nullptr);
    char buffer[kPipeRecordSize];
    DWORD transferred = 0;
    while (ReadFile(request, buffer, sizeof buffer, &transferred, nullptr) &&
           WriteFile(reply, buffer, sizeof buffer, &transferred, nullptr)) {
    }
    return 0;
}

double EchoRoundTrips()
{
    std::string commandLine = "\"" + ZintarUtil::ExecutablePath() + "\" --echo";
    STARTUPINFOA startup{sizeof startup};
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child))
        throw Exceptions::ExceptionWindows("Failed to start the echo child");
    double rate = 0;
    {
        PipeClient echo(kEchoPipe);
        PipeRequest ping{};
        ping.code = kPing;
        rate = RoundTrips(echo, ping);
    }
    WaitForSingleObject(child.hProcess, 10000);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    return rate;
}

}  // namespace

int RunBurst()
{
    try {
        ZintarDeviceClient device;
        std::uint64_t clock = 1000000;
        Fill(device, 50500, clock, 1024);
        while (device.Stats().queued > 0)
            Sleep(10);
        Sleep(3000);
        std::printf("memory 3 s after a burst of 50,500 messages into the full ring\n");
    } catch (const Exceptions::ExceptionBase& e) {
        std::fprintf(stderr, "%s\n", e.GetFullMessage("\n").c_str());
        return 1;
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--echo") == 0)
        return RunEcho();
    if (argc > 1 && std::strcmp(argv[1], "--burst") == 0)
        return RunBurst();
    const std::uint32_t count = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 20000;
    std::uint64_t clock = 0;
    try {
        ZintarDeviceClient device;
        std::printf("intake of %u messages from the device\n", count);
        if (ZintarBench::ControlServiceAndWait(ZintarBench::ServiceRequest::Stop) < 0)
            throw Exceptions::ExceptionBase("Failed to stop the service for the ceilings");
        const double bare = BareReads(device, count, clock, false);
        const double sameCalls = BareReads(device, count, clock, true);
        if (ZintarBench::ControlServiceAndWait(ZintarBench::ServiceRequest::Start) < 0)
            throw Exceptions::ExceptionBase("Failed to start the service");
        const double service = ServiceIntake(device, count, clock);
        Report("  bare loop of read requests (ceiling i)", bare);
        Report("  bare loop, read + two lock pairs (ceiling ii)", sameCalls);
        Report("  service, device to ring (against ii)", service, sameCalls);
        Report("  service, device to ring (against i)", service, bare);

        std::printf("pipe round trips, %u each\n", kRoundTrips);
        const double echo = EchoRoundTrips();
        PipeClient client;
        PipeRequest ping{};
        ping.code = kPing;
        PipeRequest write{};
        write.code = kWriteMessage;
        write.SetMessage(kMessageOffset, ZintarBench::MessageAt(clock++));
        const double pings = RoundTrips(client, ping);
        const double writes = RoundTrips(client, write);
        Report("  bare 1028-byte echo (ceiling)", echo);
        Report("  service Ping", pings, echo);
        Report("  service WriteMessage (added and flushed)", writes, echo);

        // A full ring, whose memory scripts/bench then reads from the service's process.
        RingCounter ring;
        Fill(device, 50000, clock);
        while (ring.Messages() < 50000)
            Sleep(10);
        std::printf("memory with a full ring of %d messages (the mapped file is %.1f MB)\n", ring.Messages(),
                    FileLengthFor(50000) / (1024.0 * 1024.0));
    } catch (const Exceptions::ExceptionBase& e) {
        std::fprintf(stderr, "%s\n", e.GetFullMessage("\n").c_str());
        return 1;
    }
    return 0;
}
