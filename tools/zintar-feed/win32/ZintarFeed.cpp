// zintar-feed: pushes messages into the Zintar device, reads them back out, prints its counters.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/zintar-feed/FeedOptions.h"
#include "util/Exceptions.h"
#include "util/SystemError.h"
#include "util/ToolFrame.h"
#include "util/win32/SystemTimes.h"
#include "util/win32/ZintarDeviceClient.h"

using ZintarUtil::LogMessage;
using ZintarUtil::ZintarDeviceClient;

namespace ZintarFeed {

namespace {

// The frame's codes (0 done, 1 failed, 2 usage), a missing device the failure the user fixes by
// loading the driver, and the device's own above them.
enum ExitCode {
    kDone = ZintarUtil::kExitDone,
    kDeviceMissing = ZintarUtil::kExitFailed,
    kDeviceBusy = 3,
    kDeviceFailed = 4
};

double SecondsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Pushes one batch, retrying while the device queue is full. All or nothing per request, so a
// retry neither loses nor repeats a message.
int PushBatch(ZintarDeviceClient& device, const std::vector<LogMessage>& batch, std::uint32_t busyTimeout)
{
    const ULONGLONG deadline = GetTickCount64() + busyTimeout;
    for (;;) {
        const std::uint32_t error = device.Push(batch.data(), batch.size());
        if (error == 0)
            return kDone;
        if (error != ERROR_BUSY) {
            std::fprintf(stderr, "zintar-feed: push failed with error %u: %s", error,
                         ZintarUtil::SystemErrorText(error).c_str());
            return kDeviceFailed;
        }
        if (GetTickCount64() >= deadline) {
            std::fprintf(stderr, "zintar-feed: the device queue stayed full for %u ms\n", busyTimeout);
            return kDeviceBusy;
        }
        Sleep(2);
    }
}

int Push(ZintarDeviceClient& device, const FeedOptions& options)
{
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    std::vector<LogMessage> batch;
    batch.reserve(options.batch);
    std::uint64_t sent = 0;
    while (sent < options.count) {
        // With a rate, message i is due i / rate seconds after the start; send what is due.
        std::uint64_t due = options.count;
        if (options.rate) {
            due = std::min<std::uint64_t>(options.count,
                                          static_cast<std::uint64_t>(SecondsSince(start) * *options.rate) + 1);
            if (due <= sent) {
                const double wait = (static_cast<double>(sent) / *options.rate) - SecondsSince(start);
                Sleep(wait > 0 ? static_cast<DWORD>(wait * 1000) : 0);
                continue;
            }
        }
        batch.clear();
        const std::uint64_t end = std::min<std::uint64_t>(due, sent + options.batch);
        for (std::uint64_t i = sent; i < end; ++i)
            batch.push_back(
                BuildMessage(options, i, options.timeStamp ? *options.timeStamp : ZintarUtil::LocalTimeNow()));
        if (const int result = PushBatch(device, batch, options.busyTimeout); result != kDone) {
            std::fprintf(stderr, "zintar-feed: %llu of %llu messages pushed\n", static_cast<unsigned long long>(sent),
                         static_cast<unsigned long long>(options.count));
            return result;
        }
        sent = end;
    }
    const double seconds = SecondsSince(start);
    std::printf("pushed %llu messages in %.3f s (%.0f per second)\n", static_cast<unsigned long long>(sent), seconds,
                seconds > 0 ? static_cast<double>(sent) / seconds : 0.0);
    return kDone;
}

int Read(ZintarDeviceClient& device, const FeedOptions& options)
{
    LogMessage message;
    std::uint64_t read = 0;
    while (read < options.readLimit && device.ReadMessage(message)) {
        std::printf("%s\n", DescribeMessage(message).c_str());
        ++read;
    }
    return kDone;
}

int Stats(ZintarDeviceClient& device)
{
    const ZintarStats stats = device.Stats();
    std::printf("queued %u\ncapacity %u\npushed %llu\nread %llu\n", stats.queued, stats.capacity, stats.pushed,
                stats.read);
    return kDone;
}

// Every command's action, and the exit code of what the device refused.
int Run(const FeedOptions& options)
{
    try {
        ZintarDeviceClient device;
        switch (options.command) {
        case Command::Push:
            return Push(device, options);
        case Command::Read:
            return Read(device, options);
        case Command::Stats:
            return Stats(device);
        }
    } catch (const ZintarUtil::Exceptions::ExceptionWindows& e) {
        std::fprintf(stderr, "zintar-feed: %s", e.GetFullMessage("\n").c_str());
        const bool missing = e.ErrorCode() == ERROR_FILE_NOT_FOUND || e.ErrorCode() == ERROR_PATH_NOT_FOUND;
        return missing ? kDeviceMissing : kDeviceFailed;
    } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
        std::fprintf(stderr, "zintar-feed: %s\n", e.GetFullMessage("\n").c_str());
        return kDeviceFailed;
    }
    return kDone;
}

constexpr ZintarUtil::ToolFrame kTool{"zintar-feed", "Run 'zintar-feed --help' for the commands and their options."};

}  // namespace

}  // namespace ZintarFeed

int main(int argc, char** argv)
{
    return ZintarUtil::RunTool(ZintarFeed::kTool, argc, argv, ZintarFeed::ParseFeedOptions, ZintarFeed::Run);
}
