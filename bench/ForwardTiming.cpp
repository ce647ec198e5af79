// Timing of zintar-forward under Windows (or Wine) against a private rsyslog (scripts/bench wine
// sets one up), each figure read where it counts, in the collector's file of its host:
//   throughput  the ring's messages (a full ring: the backlog a returning collector finds) until
//               the collector has them all: over RELP and RELP+TLS its answer to the last one, over
//               TCP and TLS the last byte sent and the connection closed cleanly (the collector read
//               everything); beside the ceilings of the same run: a plain TCP send of the same
//               records, and over RELP the same records sent at once, unwindowed, each answered;
//   lag         at a steady 1,000 messages a second, from each message's push into the device to
//               its line in the collector's file (p50, p99, max).
//   ForwardTiming HOSTS_DIR RELP TLS_RELP TLS TCP CA_FILE CLIENT_PFX
// HOSTS_DIR is the collector's folder of per-host files as this program sees it (Z:\...).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchClock.h"
#include "bench/BenchMessages.h"
#include "tools/zintar-forward/RelpProtocol.h"
#include "tools/zintar-forward/win32/ForwardPlatform.h"
#include "tools/zintar-forward/win32/SocketConnection.h"
#include "util/Exceptions.h"
#include "util/SyslogRecord.h"
#include "util/ZintarNames.h"
#include "util/win32/LogFileReader.h"
#include "util/win32/SystemTimes.h"
#include "util/win32/ZintarDeviceClient.h"

using namespace ZintarForward;
using ZintarBench::Now;

namespace {

std::string hostsDir;

// Watches one host's file grow, reading only what was added.
class CollectorFile {
public:
    explicit CollectorFile(const std::string& host) : path(hostsDir + "\\" + host + ".log") {}

    // The lines added since the last call.
    std::vector<std::string> NewLines()
    {
        std::vector<std::string> lines;
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return lines;
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(offset);
        SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
        char buffer[1 << 16];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
            offset += read;
            partial.append(buffer, read);
        }
        CloseHandle(file);
        for (std::size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1))
            lines.push_back(partial.substr(0, end));
        return lines;
    }

private:
    std::string path;
    std::uint64_t offset = 0;
    std::string partial;
};

// A host name of this run: the collector's files of earlier runs are never touched (rsyslog
// keeps them open).
std::string HostOfThisRun(const std::string& name)
{
    return "bench-" + name + "-" + std::to_string(GetTickCount64() % 1000000);
}

ZintarUtil::LogSnapshot NewestRecord()
{
    ZintarUtil::LogFileReader reader(ZintarUtil::kFileMapName);
    ZintarUtil::LogSnapshot snapshot;
    reader.ReadSnapshot(snapshot, 1);
    return snapshot;
}

CheckedSettings SettingsFor(const std::string& url, const std::string& host, const std::string& ca,
                            const std::string& pfx)
{
    ForwardSettings settings;
    settings.to = url;
    settings.hostName = host;
    settings.caFile = ca;
    settings.clientCertificate = pfx;
    settings.stateFile = "C:\\forward-timing-" + host + ".txt";
    return CheckSettings(settings);
}

// The engine as the service runs it, after the newest message the ring holds now, until `stop`.
void ForwardNew(const CheckedSettings& settings, HANDLE stop)
{
    const ZintarUtil::LogSnapshot newest = NewestRecord();
    ForwardState state;
    if (!newest.records.empty())
        state.acknowledged = ZintarUtil::ResumePoint{newest.header.generation, newest.records.front().sequence,
                                                     ZintarUtil::DigestOf(newest.records.front().message)};
    WindowsForwarderPlatform platform(settings, settings.settings.stateFile, stop, false);
    Forwarder(ForwarderOptions{settings.target}, platform, state).Run();
}

// Seconds until the collector has every message up to `last`, as the engine counts them.
double TimeToDeliver(const CheckedSettings& settings, const ZintarUtil::MessageRecord& last)
{
    // A burst larger than the ring is written whole with sequence 0: the digest tells the newest.
    const auto delivered = [&](const ForwardState& state) {
        return state.acknowledged && state.acknowledged->sequence == last.sequence &&
               state.acknowledged->digest == ZintarUtil::DigestOf(last.message);
    };
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WindowsForwarderPlatform platform(settings, settings.settings.stateFile, stop, false);
    ForwarderOptions options{settings.target};
    options.deliveredAfterMs = 0;  // TCP, TLS: sent counts here; the clean close below completes it
    Forwarder forwarder(options, platform, {});
    const double start = Now();
    while (!delivered(forwarder.State()) && Now() - start < 120)
        forwarder.Step();
    forwarder.Finish();
    const double took = Now() - start;
    CloseHandle(stop);
    return delivered(forwarder.State()) ? took : -1;
}

// The ceiling: the same records, formatted once, sent in large pieces over one plain connection.
void SendPlain(const std::string& port, const std::string& host)
{
    ZintarUtil::LogFileReader reader(ZintarUtil::kFileMapName);
    ZintarUtil::LogSnapshot snapshot;
    reader.ReadSnapshot(snapshot);
    const ZintarUtil::SyslogOrigin origin{host, 0, 16};
    std::string out;
    auto connection = ConnectTcp("127.0.0.1", port, 10000);
    for (auto record = snapshot.records.rbegin(); record != snapshot.records.rend(); ++record) {
        const std::string text = ZintarUtil::SyslogRecord(*record, snapshot.header.generation, origin);
        out += std::to_string(text.size()) + " " + text;
        if (out.size() > (1 << 20)) {
            connection->Send(out, 30000);
            out.clear();
        }
    }
    connection->Send(out, 30000);
    connection->Close(30000);
}

// The RELP ceiling: every record in flight at once, the answers read as they come.
void SendRelpPlain(const std::string& port, const std::string& host)
{
    ZintarUtil::LogFileReader reader(ZintarUtil::kFileMapName);
    ZintarUtil::LogSnapshot snapshot;
    reader.ReadSnapshot(snapshot);
    const ZintarUtil::SyslogOrigin origin{host, 0, 16};
    auto connection = ConnectTcp("127.0.0.1", port, 10000);
    RelpReplyReader replies;
    std::size_t answered = 0;
    const auto take = [&](std::uint32_t waitMs) {
        replies.Feed(connection->Receive(waitMs));
        while (replies.Next())
            ++answered;
    };
    connection->Send(RelpFrame(1, "open", RelpOpenOffer()), 10000);
    std::string out;
    std::uint32_t txnr = 2;
    for (auto record = snapshot.records.rbegin(); record != snapshot.records.rend(); ++record) {
        out += RelpFrame(txnr++, "syslog", ZintarUtil::SyslogRecord(*record, snapshot.header.generation, origin));
        if (out.size() > (1 << 18)) {
            connection->Send(out, 30000);
            out.clear();
            take(0);
        }
    }
    connection->Send(out, 30000);
    const double deadline = Now() + 60;
    while (answered < snapshot.records.size() + 1 && Now() < deadline)
        take(100);
    connection->Close(10000);
}

void Throughput(const std::vector<std::string>& ports, const std::string& ca, const std::string& pfx)
{
    const ZintarUtil::LogSnapshot newest = NewestRecord();
    const std::int32_t count = newest.header.messageCount;
    if (count == 0)
        throw ZintarUtil::Exceptions::ExceptionBase("The ring is empty: push messages first");
    const ZintarUtil::MessageRecord& last = newest.records.front();
    std::printf("ring: %d messages\n", count);
    double start = Now();
    SendPlain(ports[3], HostOfThisRun("plain"));
    const double plain = Now() - start;
    std::printf("%-44s %8.0f messages/s  (%.2f s)\n", "plain TCP send of the same records (ceiling)", count / plain,
                plain);
    start = Now();
    SendRelpPlain(ports[0], HostOfThisRun("relp-plain"));
    const double relpPlain = Now() - start;
    std::printf("%-44s %8.0f messages/s  (%.2f s)\n", "RELP, every record at once (RELP's ceiling)", count / relpPlain,
                relpPlain);
    const struct {
        const char* scheme;
        std::string port;
    } runs[] = {{"tcp", ports[3]}, {"tls", ports[2]}, {"relp", ports[0]}, {"relp+tls", ports[1]}};
    for (const auto& run : runs) {
        const std::string url = std::string(run.scheme) + "://127.0.0.1:" + run.port;
        const bool tls = url.find("tls") != std::string::npos;
        const double took = TimeToDeliver(SettingsFor(url, HostOfThisRun(run.scheme[4] == '+' ? "relptls" : run.scheme),
                                                      tls ? ca : "", url.rfind("relp+tls", 0) == 0 ? pfx : ""),
                                          last);
        std::printf("zintar-forward %-29s %8.0f messages/s  (%.2f s, %.0f%% of the ceiling)\n",
                    (url.substr(0, url.find(':')) + "://").c_str(), count / took, took, 100 * plain / took);
    }
}

void Lag(const std::string& port)
{
    constexpr std::uint32_t kRate = 1000, kSeconds = 20;
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const std::string host = HostOfThisRun("lag");
    std::thread forwarder([&] { ForwardNew(SettingsFor("relp://127.0.0.1:" + port, host, "", ""), stop); });
    Sleep(1000);  // connected
    CollectorFile file(host);
    file.NewLines();
    ZintarUtil::ZintarDeviceClient device;
    std::vector<double> pushedAt(kRate * kSeconds, 0), lags;
    std::atomic<bool> pushing{true};
    std::thread pusher([&] {
        const double start = Now();
        for (std::uint32_t i = 0; i < pushedAt.size(); ++i) {
            while (Now() - start < static_cast<double>(i) / kRate)
                Sleep(1);
            ZintarUtil::LogMessage message = ZintarBench::MessageAt(0);
            message.timeStamp = ZintarUtil::LocalTimeNow();  // in order, as a driver stamps them
            std::snprintf(message.text, sizeof message.text, "lag %u", i);
            pushedAt[i] = Now();
            device.Push(&message, 1);
        }
        pushing = false;
    });
    const double deadline = Now() + kSeconds + 10;
    while (lags.size() < pushedAt.size() && Now() < deadline) {
        for (const std::string& line : file.NewLines()) {
            const std::size_t at = line.rfind(" lag ");
            if (at != std::string::npos) {
                const std::uint32_t i = static_cast<std::uint32_t>(std::atoi(line.c_str() + at + 5));
                if (i < pushedAt.size() && pushedAt[i] > 0)
                    lags.push_back(Now() - pushedAt[i]);
            }
        }
        Sleep(2);
    }
    pusher.join();
    SetEvent(stop);
    forwarder.join();
    CloseHandle(stop);
    std::sort(lags.begin(), lags.end());
    if (lags.empty()) {
        std::printf("lag: no message arrived\n");
        return;
    }
    const auto at = [&](double q) {
        return 1000 * lags[std::min(lags.size() - 1, static_cast<std::size_t>(q * lags.size()))];
    };
    std::printf("lag at %u messages/s over relp:// (%zu of %zu arrived)  p50 %.0f ms  p99 %.0f ms  max %.0f ms\n",
                kRate, lags.size(), pushedAt.size(), at(0.5), at(0.99), 1000 * lags.back());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 8) {
        std::fprintf(stderr, "usage: ForwardTiming HOSTS_DIR RELP TLS_RELP TLS TCP CA_FILE CLIENT_PFX\n");
        return 2;
    }
    hostsDir = argv[1];
    try {
        Throughput({argv[2], argv[3], argv[4], argv[5]}, argv[6], argv[7]);
        Lag(argv[2]);
    } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
        std::fprintf(stderr, "ForwardTiming: %s\n", e.GetFullMessage("; ").c_str());
        return 1;
    }
    return 0;
}
