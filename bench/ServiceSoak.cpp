// The clients of scripts/soak: one step's share of a month of the installed service's life under
// Windows (or Wine), every kind of client in a thread of its own, side by side. Prints one line of
// counts ("name=value ..."); asserts nothing. Needs the service installed and running.
//   ServiceSoak step [KIND=COUNT...] [zintarctl=PATH] [base=MAX,POLL,SAVE] [alt=MAX,POLL,SAVE]
//     sessions   client sessions: status, settings and filters, a snapshot of the log, a message
//     refused    requests the service must refuse: values that cannot work, unknown codes
//     hostile    malformed records: garbage, truncated, oversized, empty, a client that vanishes
//     halfopen   a client that opens the request pipe only (it holds the service's accept for
//                its I/O time limit, 10 s)
//     readers    reader processes killed inside read access
//     follows    `zintarctl follow` processes started and killed (needs zintarctl=PATH)
//     restarts   SetSettings to `alt` and back to `base` in turn (an even count ends on `base`)
//   ServiceSoak ready SECONDS   waits until the service answers a ping
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchClock.h"
#include "client/win32/PipeClient.h"
#include "client/win32/ServiceClient.h"
#include "util/Exceptions.h"
#include "util/TextHelpers.h"
#include "util/win32/AutoHandle.h"
#include "util/win32/LogFileReader.h"
#include "util/win32/SystemTimes.h"

using namespace ZintarUtil;
using ZintarClient::PipeClient;
using ZintarClient::ServiceClient;
using ZintarClient::Settings;
namespace Pipe = ZintarUtil::Pipe;

namespace {

constexpr double kRetryBound = 30;    // s a client keeps trying while the service restarts
constexpr DWORD kChildBound = 30000;  // ms a child may take to reach read access
constexpr std::uint32_t kConnectLimit = 10000;

// One client's outcome, counted per kind: done, or not done within the retry bound.
struct Tally {
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
};

// Runs `attempt` again, 50 ms apart, while it throws or returns false, for at most kRetryBound
// seconds: a restart of the service cuts connections and removes the mapping for a moment, which
// is no fault of the client.
bool WithRetries(const std::function<bool()>& attempt)
{
    const double giveUpAt = ZintarBench::Now() + kRetryBound;
    do {
        try {
            if (attempt())
                return true;
        } catch (const Exceptions::ExceptionBase&) {
        }
        Sleep(50);
    } while (ZintarBench::Now() < giveUpAt);
    return false;
}

void Count(Tally& tally, bool done)
{
    (done ? tally.done : tally.failed).fetch_add(1);
}

// --- sessions ---------------------------------------------------------------------------------

bool StatusSession()
{
    ServiceClient client(kConnectLimit);
    client.Ping();
    client.GetSettings();
    return true;
}

bool SettingsSession()
{
    ServiceClient client(kConnectLimit);
    client.GetSettings();
    client.GetLogFileName();
    client.GetDefaultLogFileName();
    client.ListFilters();
    return true;
}

bool SnapshotSession()
{
    const std::string mapName = ServiceClient(kConnectLimit).GetFileMapName();
    LogFileReader reader(mapName);
    LogSnapshot snapshot;
    reader.ReadSnapshot(snapshot, 100);
    return true;
}

bool WriteSession(int number)
{
    LogMessage message{};
    message.timeStamp = LocalTimeNow();
    message.type = static_cast<std::uint32_t>(number % 4);
    std::snprintf(message.text, sizeof message.text, "soak client message %d", number);
    std::snprintf(message.auxText, sizeof message.auxText, "soak");
    ServiceClient(kConnectLimit).WriteMessage(message);
    return true;
}

void Sessions(int count, Tally& tally)
{
    for (int i = 0; i < count; ++i) {
        switch (i % 4) {
        case 0:
            Count(tally, WithRetries(StatusSession));
            break;
        case 1:
            Count(tally, WithRetries(SettingsSession));
            break;
        case 2:
            Count(tally, WithRetries(SnapshotSession));
            break;
        default:
            Count(tally, WithRetries([i] { return WriteSession(i); }));
            break;
        }
    }
}

// --- refused requests -------------------------------------------------------------------------

struct RefusedCase {
    PipeRequest request;
    std::uint32_t expected;  // the reply code
};

PipeRequest SettingsRequest(std::uint32_t maxMessage, std::uint32_t pollRate, std::uint32_t saveRate)
{
    return ZintarClient::SetSettingsRequest({maxMessage, pollRate, 0xF, saveRate});
}

std::vector<RefusedCase> RefusedCases()
{
    return {
        {SettingsRequest(8000000, 100, 300), Pipe::kReplyFailed},  // a file larger than 32 bits can address
        {SettingsRequest(2000, 0, 300), Pipe::kReplyFailed},       // a timer that never pauses
        {SettingsRequest(2000, 100, 0), Pipe::kReplyFailed},
        {ZintarClient::SetLogFileNameRequest("C:\\no such folder\\Logs.dat"), Pipe::kReplyFailed},
        {ZintarClient::SetLogFileNameRequest(""), Pipe::kReplyFailed},
        {ZintarClient::SetLogFileNameRequest("C:\\" + std::string(300, 'x') + ".dat"), Pipe::kReplyFailed},
        {ZintarClient::MakeRequest(99), Pipe::kReplyUnknown},
        {ZintarClient::MakeRequest(0), Pipe::kReplyUnknown},
    };
}

// An answer other than the expected refusal counts as a failure at once: no retry hides it.
void Refused(int count, Tally& tally, Tally& wrongAnswers)
{
    const std::vector<RefusedCase> cases = RefusedCases();
    for (int i = 0; i < count; ++i) {
        const RefusedCase& c = cases[i % cases.size()];
        std::uint32_t answer = 0;
        Count(tally, WithRetries([&] {
                  answer = PipeClient(kRequestPipeName, kConnectLimit).Call(c.request).code;
                  return true;
              }));
        if (answer != c.expected)
            wrongAnswers.failed.fetch_add(1);
    }
}

// --- hostile records --------------------------------------------------------------------------

// A malformed record and what the service answers it with.
struct HostileRecord {
    std::vector<unsigned char> bytes;
    std::uint32_t expected;
};

// Garbage never starts with a handled code (2 to 12), so that no garbage can change the settings
// or the filters by chance: what it tests is the parsing, not the commands.
std::vector<unsigned char> Garbage(std::size_t length, std::mt19937& random)
{
    std::vector<unsigned char> bytes(length);
    for (unsigned char& byte : bytes)
        byte = static_cast<unsigned char>(random());
    if (!bytes.empty())
        bytes[0] = 0xEE;
    return bytes;
}

std::vector<unsigned char> Truncated(std::uint32_t code, std::size_t length)
{
    const PipeRequest request = ZintarClient::MakeRequest(code);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&request);
    return {bytes, bytes + length};
}

HostileRecord MakeHostile(int kind, std::mt19937& random)
{
    // Codes that only read, with what their whole record is answered with; a short record is
    // read as the whole one with the rest left as the connection's buffer had it (zeros here).
    static const std::pair<std::uint32_t, std::uint32_t> kReading[] = {
        {Pipe::kPing, Pipe::kReplyPing},
        {Pipe::kGetSettings, Pipe::kReplySettings},
        {Pipe::kGetFileMapName, Pipe::kReplyFileMapName},
        {Pipe::kGetLogFileName, Pipe::kReplyFileName},
        {Pipe::kGetFilter, Pipe::kReplyNoFilter},
        {Pipe::kGetDefaultLogFileName, Pipe::kReplyFileName},
    };
    const auto& reading = kReading[random() % std::size(kReading)];
    switch (kind) {
    case 0:
        return {Garbage(kPipeRecordSize, random), Pipe::kReplyUnknown};
    case 1:
        return {Garbage(1 + random() % (kPipeRecordSize - 1), random), Pipe::kReplyUnknown};
    case 2:
        return {Truncated(reading.first, 4 + random() % (kPipeRecordSize - 4)), reading.second};
    case 3:
        return {Garbage(kPipeRecordSize + 1 + random() % 7000, random), Pipe::kReplyTooLong};
    default:
        return {{}, Pipe::kReplyUnknown};  // an empty message reads as code 0
    }
}

// Sends one malformed record on a connection of its own and reads the answer; the sixth kind
// sends a ping and leaves without reading. True when the answer is the expected one.
bool SendHostile(int kind, std::mt19937& random)
{
    PipeClient pipe(kRequestPipeName, kConnectLimit);
    if (kind == 5) {
        const PipeRequest ping = ZintarClient::MakeRequest(Pipe::kPing);
        return pipe.Send(&ping, sizeof ping);
    }
    const HostileRecord record = MakeHostile(kind, random);
    PipeReply reply{};
    return pipe.Send(record.bytes.data(), record.bytes.size()) && pipe.Receive(reply) && reply.code == record.expected;
}

bool ServiceAnswers()
{
    return WithRetries([] {
        ServiceClient(kConnectLimit).Ping();
        return true;
    });
}

// Each malformed record is followed by a ping on a new connection: the service must still serve.
void Hostile(int count, Tally& tally, Tally& unanswered)
{
    std::mt19937 random(GetCurrentProcessId());
    for (int i = 0; i < count; ++i) {
        bool expected = false;
        try {
            expected = SendHostile(i % 6, random);
        } catch (const Exceptions::ExceptionBase&) {
        }
        Count(tally, expected);
        Count(unanswered, ServiceAnswers());
    }
}

void HalfOpen(int count, Tally& tally)
{
    for (int i = 0; i < count; ++i) {
        AutoHandle request;
        const double giveUpAt = ZintarBench::Now() + kRetryBound;
        while (request.IsInvalid() && ZintarBench::Now() < giveUpAt) {
            request.Take(CreateFileA(kRequestPipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (request.IsInvalid())
                Sleep(50);
        }
        const bool opened = request.IsValid();
        Sleep(1000);
        request.Close();
        Count(tally, opened && ServiceAnswers());
    }
}

// --- processes: readers killed inside read access, followers started and killed --------------

std::string Quoted(const std::string& path)
{
    std::string quoted(1, '"');
    quoted += path;
    quoted += '"';
    return quoted;
}

// Starts `line` with its output going nowhere; the process handle, or an empty one.
AutoHandle StartProcess(std::string line)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    AutoHandle nul;
    nul.Take(CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         OPEN_EXISTING, 0, nullptr));
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.Get();
    PROCESS_INFORMATION info{};
    AutoHandle process;
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                       &info)) {
        CloseHandle(info.hThread);
        process.Take(info.hProcess);
    }
    return process;
}

void Kill(const AutoHandle& process)
{
    TerminateProcess(process.Get(), 99);
    WaitForSingleObject(process.Get(), kChildBound);
}

// Child: takes read access on the service's log (trying again while the service restarts), says
// so, and stays inside until it is killed.
int HoldReadAccess(const std::string& insideName)
{
    const HANDLE inside = OpenEventA(EVENT_MODIFY_STATE, FALSE, insideName.c_str());
    std::unique_ptr<LogFileReader> reader;
    const bool entered = inside != nullptr && WithRetries([&] {
                             reader = std::make_unique<LogFileReader>(kFileMapName);
                             reader->GrabReadAccess();
                             return true;
                         });
    if (!entered)
        return 3;
    SetEvent(inside);
    Sleep(kChildBound);
    return 4;
}

void Readers(int count, Tally& tally, std::mt19937& random)
{
    for (int i = 0; i < count; ++i) {
        const std::string insideName =
            "Local\\SoakInside" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(i);
        AutoHandle inside;
        inside.Take(CreateEventA(nullptr, TRUE, FALSE, insideName.c_str()));
        AutoHandle child = StartProcess(Quoted(ZintarUtil::ExecutablePath()) + " --child hold-read " + insideName);
        const bool entered = child.IsValid() && WaitForSingleObject(inside.Get(), kChildBound) == WAIT_OBJECT_0;
        Sleep(random() % 300);
        if (child.IsValid())
            Kill(child);
        Count(tally, entered);
    }
}

void Follows(int count, const std::string& zintarctl, Tally& tally, std::mt19937& random)
{
    for (int i = 0; i < count; ++i) {
        AutoHandle follower = StartProcess(Quoted(zintarctl) + " follow -n 5");
        // Still following when killed: it ended on its own only if it failed.
        const bool alive =
            follower.IsValid() && WaitForSingleObject(follower.Get(), 300 + random() % 1500) == WAIT_TIMEOUT;
        if (follower.IsValid())
            Kill(follower);
        Count(tally, alive);
    }
}

// --- restarts for new settings ----------------------------------------------------------------

std::int32_t SharedCapacity()
{
    std::int32_t capacity = -1;
    LogFileReader(kFileMapName).Visit([&](const FileHeader& header, const LogFileReader::NewestRecord&) {
        capacity = header.capacity;
    });
    return capacity;
}

// SetSettings, then waits until the log is shared with the new capacity and the service answers:
// the restart is over. The two settings differ in MaxMessage for that reason.
bool RestartWith(const Settings& settings)
{
    if (!WithRetries([&] {
            ServiceClient(kConnectLimit).SetSettings(settings);
            return true;
        }))
        return false;
    return WithRetries([&] { return SharedCapacity() == static_cast<std::int32_t>(settings.maxMessage); }) &&
           ServiceAnswers();
}

void Restarts(int count, const Settings& base, const Settings& alternative, Tally& tally, double& longest)
{
    for (int i = 0; i < count; ++i) {
        const double start = ZintarBench::Now();
        Count(tally, RestartWith(i % 2 == 0 ? alternative : base));
        longest = std::max(longest, ZintarBench::Now() - start);
    }
}

// --- the step ---------------------------------------------------------------------------------

Settings ParseSettings(const std::string& text)
{
    Settings settings;
    settings.typeFilter = 0xF;
    std::sscanf(text.c_str(), "%u,%u,%u", &settings.maxMessage, &settings.devicePollRate, &settings.saveRate);
    return settings;
}

int Step(const std::map<std::string, std::string>& options)
{
    const auto count = [&](const char* kind) {
        const auto found = options.find(kind);
        return found == options.end() ? 0 : std::atoi(found->second.c_str());
    };
    const auto text = [&](const char* name, const char* fallback) {
        const auto found = options.find(name);
        return found == options.end() ? std::string(fallback) : found->second;
    };
    Tally sessions, refused, wrongRefusals, hostile, unansweredAfterHostile, halfOpen, readers, follows, restarts;
    double longestRestart = 0;
    std::mt19937 readerRandom(GetCurrentProcessId()), followRandom(GetCurrentProcessId() + 1);
    const Settings base = ParseSettings(text("base", "2000,100,300"));
    const Settings alternative = ParseSettings(text("alt", "3000,50,60"));
    const std::string zintarctl = text("zintarctl", "");

    std::vector<std::thread> kinds;
    kinds.emplace_back([&] { Sessions(count("sessions"), sessions); });
    kinds.emplace_back([&] {
        Refused(count("refused"), refused, wrongRefusals);
        Hostile(count("hostile"), hostile, unansweredAfterHostile);
        HalfOpen(count("halfopen"), halfOpen);
    });
    kinds.emplace_back([&] { Readers(count("readers"), readers, readerRandom); });
    kinds.emplace_back([&] { Follows(zintarctl.empty() ? 0 : count("follows"), zintarctl, follows, followRandom); });
    kinds.emplace_back([&] { Restarts(count("restarts"), base, alternative, restarts, longestRestart); });
    for (std::thread& kind : kinds)
        kind.join();

    std::printf("sessions=%d sessions_failed=%d refused=%d refused_wrong=%d hostile=%d hostile_unexpected=%d "
                "unanswered_after_hostile=%d halfopen=%d readers_killed=%d readers_not_inside=%d follows=%d "
                "follows_dead_early=%d restarts=%d restarts_failed=%d longest_restart_ms=%.0f\n",
                sessions.done.load(), sessions.failed.load(), refused.done.load(), wrongRefusals.failed.load(),
                hostile.done.load() + hostile.failed.load(), hostile.failed.load(),
                unansweredAfterHostile.failed.load(), halfOpen.done.load(), readers.done.load(), readers.failed.load(),
                follows.done.load() + follows.failed.load(), follows.failed.load(), restarts.done.load(),
                restarts.failed.load(), longestRestart * 1000);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "--child" && args[1] == "hold-read")
        return HoldReadAccess(args[2]);
    if (args.size() == 2 && args[0] == "ready") {
        const double giveUpAt = ZintarBench::Now() + std::atof(args[1].c_str());
        while (ZintarBench::Now() < giveUpAt) {
            try {
                ServiceClient(kConnectLimit).Ping();
                return 0;
            } catch (const Exceptions::ExceptionBase&) {
                Sleep(100);
            }
        }
        return 1;
    }
    if (args.empty() || args[0] != "step") {
        std::fprintf(
            stderr,
            "usage: ServiceSoak step [KIND=COUNT...] [zintarctl=PATH] [base=M,P,S] [alt=M,P,S] | ready SECONDS\n");
        return 2;
    }
    std::map<std::string, std::string> options;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::size_t equals = args[i].find('=');
        if (equals == std::string::npos) {
            std::fprintf(stderr, "ServiceSoak: '%s' is not NAME=VALUE\n", args[i].c_str());
            return 2;
        }
        options[args[i].substr(0, equals)] = args[i].substr(equals + 1);
    }
    return Step(options);
}
