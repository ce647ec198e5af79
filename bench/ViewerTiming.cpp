// Timing of `zintarctl web` in a headless Chromium under Windows (or Wine), against the running
// service with a full ring of 50,000 messages:
//   opening   from the page's navigation to the full ring shown (all 50,000 taken in and the
//             visible rows drawn), over several openings;
//   live      1,000 messages a second pushed into the device for 20 s: how many the page took in,
//             and how long after its time stamp each one reached the page (device poll, ring,
//             the viewer's poll, the event stream and the page together); the slowest redraw.
// Needs the driver loaded, the service installed with MaxMessage=50000, and a browser named in
// ZINTAR_DEVTOOLS_PORT (scripts/bench wine sets all of it up).
//   ViewerTiming ZINTARCTL_EXE
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/BenchClock.h"
#include "bench/BenchMessages.h"
#include "tests/support/BrowserPage.h"
#include "util/Exceptions.h"
#include "util/win32/LogFileReader.h"
#include "util/win32/SystemTimes.h"
#include "util/win32/ZintarDeviceClient.h"

using namespace ZintarUtil;
using ZintarBench::Now;
using ZintarTest::BrowserPage;
using namespace std::chrono_literals;

namespace {

constexpr std::int32_t kFullRing = 50000;
constexpr int kOpenings = 5;
constexpr int kLiveSeconds = 20;
constexpr int kLivePerSecond = 1000;

std::int32_t MessagesInRing()
{
    try {
        LogSnapshot snapshot;
        LogFileReader(kFileMapName).ReadSnapshot(snapshot, 0);
        return snapshot.header.messageCount;
    } catch (const Exceptions::ExceptionBase&) {
        return 0;
    }
}

void Push(ZintarDeviceClient& device, const std::vector<LogMessage>& batch)
{
    while (device.Push(batch.data(), batch.size()) == ERROR_BUSY)
        Sleep(1);
}

// Tops the ring up to kFullRing with messages dated before any the live part sends, and waits
// (at most a minute) until the service has written them.
void FillRing(ZintarDeviceClient& device)
{
    std::uint64_t clock = 0;
    std::vector<LogMessage> batch;
    for (std::int32_t missing = kFullRing - MessagesInRing(); missing > 0;
         missing -= static_cast<std::int32_t>(batch.size())) {
        batch.clear();
        for (std::int32_t i = 0; i < 4096 && i < missing; ++i)
            batch.push_back(ZintarBench::MessageAt(clock++));
        Push(device, batch);
    }
    for (const double start = Now(); MessagesInRing() < kFullRing; Sleep(100))
        if (Now() - start > 60)
            throw Exceptions::ExceptionBase("The service did not fill its ring within a minute");
}

LogMessage MessageNow(int i)
{
    LogMessage message = ZintarBench::MessageAt(0);
    message.timeStamp = LocalTimeNow();
    message.type = static_cast<std::uint32_t>(i % 4);
    return message;
}

// Starts `zintarctl web` on a free port of 127.0.0.1 and waits (at most 10 s) for the address it
// prints into `output`.
std::string StartViewer(const std::string& exe, const std::string& output, PROCESS_INFORMATION& process)
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const HANDLE file = CreateFileA(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string commandLine = "\"" + exe + "\" web --listen 127.0.0.1:0";
    STARTUPINFOA startup{sizeof startup};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = file;
    const BOOL started =
        CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(file);
    if (!started)
        throw Exceptions::ExceptionWindows("Failed to start " + exe);
    for (const double start = Now(); Now() - start < 10; Sleep(50)) {
        std::ifstream printed(output);
        const std::string line((std::istreambuf_iterator<char>(printed)), std::istreambuf_iterator<char>());
        const std::size_t at = line.find("http://");
        if (at != std::string::npos && line.find('/', at + 7) != std::string::npos)
            return line.substr(at, line.find('/', at + 7) + 1 - at);
    }
    throw Exceptions::ExceptionBase("zintarctl web printed no address within 10 s");
}

void Opening(std::uint16_t devTools, const std::string& url)
{
    std::vector<double> times;
    for (int i = 0; i < kOpenings; ++i) {
        BrowserPage page(devTools, url);
        if (!page.WaitFor("window.zintarViewer !== undefined && zintarViewer.stats.renderedAt !== null", 60s))
            throw Exceptions::ExceptionBase("The page did not show the ring within 60 s");
        times.push_back(page.Evaluate("zintarViewer.stats.renderedAt").get<double>());
        if (page.Evaluate("zintarViewer.all") != kFullRing)
            throw Exceptions::ExceptionBase("The page did not take in the whole ring");
    }
    std::sort(times.begin(), times.end());
    std::printf("  opening, full ring of %d shown (median of %d, slowest)   %8.0f ms %8.0f ms\n", kFullRing, kOpenings,
                times[times.size() / 2], times.back());
}

void Live(ZintarDeviceClient& device, std::uint16_t devTools, const std::string& url)
{
    BrowserPage page(devTools, url);
    if (!page.WaitFor("window.zintarViewer !== undefined && zintarViewer.stats.renderedAt !== null", 60s))
        throw Exceptions::ExceptionBase("The page did not show the ring within 60 s");
    page.Evaluate("zintarViewer.stats.slowestRenderMs = 0");
    const double start = Now();
    std::vector<LogMessage> batch;
    for (int sent = 0; sent < kLiveSeconds * kLivePerSecond;) {
        // Ten messages every 10 ms, on the clock rather than after each push.
        while (Now() - start < sent / static_cast<double>(kLivePerSecond))
            Sleep(1);
        batch.clear();
        for (int i = 0; i < 10; ++i)
            batch.push_back(MessageNow(sent++));
        Push(device, batch);
    }
    const std::string count = "zintarViewer.stats.lagMs.length >= " + std::to_string(kLiveSeconds * kLivePerSecond);
    const bool all = page.WaitFor(count, 30s);
    const nlohmann::json figures = page.Evaluate(
        "(() => { const l = [...zintarViewer.stats.lagMs].sort((a, b) => a - b);"
        "return { n: l.length, p50: l[l.length >> 1], p99: l[Math.floor(l.length * 0.99)], max: l[l.length - 1],"
        "render: zintarViewer.stats.slowestRenderMs }; })()");
    std::printf("  live, %d messages/s for %d s: taken in%s                %8d of %d\n", kLivePerSecond, kLiveSeconds,
                all ? "" : " (NOT ALL)", figures["n"].get<int>(), kLiveSeconds * kLivePerSecond);
    std::printf("  live, time stamp to page (median, 99th percentile, most) %6.0f ms %5.0f ms %5.0f ms\n",
                figures["p50"].get<double>(), figures["p99"].get<double>(), figures["max"].get<double>());
    std::printf("  live, slowest redraw of the list                         %8.1f ms\n",
                figures["render"].get<double>());
}

}  // namespace

int main(int argc, char** argv)
{
    const char* devTools = std::getenv("ZINTAR_DEVTOOLS_PORT");
    if (argc < 2 || devTools == nullptr) {
        std::fprintf(stderr, "usage: ViewerTiming ZINTARCTL_EXE, with a browser in ZINTAR_DEVTOOLS_PORT\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    PROCESS_INFORMATION viewer{};
    try {
        ZintarDeviceClient device;
        std::printf("filling the ring to %d messages\n", kFullRing);
        FillRing(device);
        char temporary[MAX_PATH] = {};
        GetTempPathA(sizeof temporary, temporary);
        const std::string url = StartViewer(argv[1], std::string(temporary) + "zintar-viewer-timing.txt", viewer);
        std::printf("web viewer in headless Chromium\n");
        Opening(static_cast<std::uint16_t>(std::atoi(devTools)), url);
        Live(device, static_cast<std::uint16_t>(std::atoi(devTools)), url);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ViewerTiming: %s\n", e.what());
        if (viewer.hProcess != nullptr)
            TerminateProcess(viewer.hProcess, 1);
        return 1;
    }
    TerminateProcess(viewer.hProcess, 0);
    return 0;
}
