// The installed service under the faults of a long life, as an administrator and a hostile local
// user meet them: settings that cannot work, restarts that meet a client holding the mapping or a
// stop, a client that connects half-way or floods the service, a program that takes the name of
// a pipe or of a lock first, a standard user when client access is strict. After each, the
// service answers, or it is STOPPED with the reason in its log.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "client/ServiceRequests.h"
#include "client/win32/PipeClient.h"
#include "client/win32/ServiceClient.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win32/ChildProcess.h"
#include "tests/support/win32/ServiceHarness.h"
#include "util/Exceptions.h"
#include "util/win32/Service.h"

using namespace ZintarTest;
using namespace ZintarUtil;
using namespace ZintarUtil::Pipe;
using ZintarClient::PipeClient;
using ZintarClient::ServiceClient;

namespace {

const std::string kDefaultLogFile = std::string(kInstallDirectory) + "\\Logs.dat";
constexpr std::uint32_t kClientWait = 20000;  // longer than one half-open client may hold the pipe

PipeRequest SettingsRequest(std::uint32_t max, std::uint32_t poll, std::uint32_t save)
{
    return ZintarClient::SetSettingsRequest({max, poll, 0xF, save});
}

bool Answers()
{
    try {
        ServiceClient(kClientWait).Ping();
        return true;
    } catch (const Exceptions::ExceptionBase&) {
        return false;
    }
}

// A message from the device reaches the ring: the intake works.
bool TakesMessages(ZintarDeviceClient& device, std::int16_t second)
{
    const LogMessage message = DeviceMessage(second, 1, "probe " + std::to_string(second));
    return device.Push(&message, 1) == 0 && WaitForRing([&](const LogSnapshot& s) {
               return !s.records.empty() && std::string(s.records.front().message.text) == message.text;
           });
}

bool IsFolder(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string Zintarctl()
{
    return "\"" + WindowsPathOf(std::getenv("ZINTARCTL_EXE")) + "\" ";
}

// A suite of its own, so that it has its own time limit in the run.
class ServiceFaults : public InstalledService {};
class SharedObjectFaults : public InstalledService {};

// This thread acts as a standard user while it lives: this process's token with Administrators,
// and the group that owns what this user's programs create (the service's objects under Wine),
// for deny only.
struct AsStandardUser {
    AsStandardUser()
    {
        HANDLE own = nullptr;
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, &own);
        BYTE administrators[SECURITY_MAX_SID_SIZE];
        BYTE owner[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_OWNER)];
        DWORD size = sizeof administrators;
        CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size);
        GetTokenInformation(own, TokenOwner, owner, sizeof owner, &size);
        SID_AND_ATTRIBUTES denyOnly[] = {{administrators, 0}, {reinterpret_cast<TOKEN_OWNER*>(owner)->Owner, 0}};
        CreateRestrictedToken(own, 0, 2, denyOnly, 0, nullptr, 0, nullptr, &token);
        CloseHandle(own);
        impersonating = ImpersonateLoggedOnUser(token) != FALSE;
    }
    ~AsStandardUser()
    {
        RevertToSelf();
        CloseHandle(token);
    }
    HANDLE token = nullptr;
    bool impersonating = false;
};

// Runs `create` with attributes made from the SDDL text `sddl`.
template <class Create>
HANDLE WithDescriptor(const char* sddl, Create create)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr) == 0)
        return nullptr;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const HANDLE object = create(&attributes);
    LocalFree(descriptor);
    return object;
}

}  // namespace

TEST_F(ServiceFaults, SettingsThatCannotWorkAreRefusedOverThePipeAndReplacedAtAStart)
{
    SetSetting("DevicePollRate", 100);
    Install();
    ASSERT_TRUE(StartAndWait(kServiceName));
    {
        SCOPED_TRACE("over the pipe: refused with the reason, and nothing changes");
        struct Refused {
            const char* name;
            PipeRequest request;
            const char* why;
        };
        const Refused cases[] = {
            {"a path too long to read back", TextRequest(kSetLogFileName, "C:\\" + std::string(253, 'x')),
             "256 characters"},
            {"a folder", TextRequest(kSetLogFileName, "C:\\windows"), "names a folder"},
            {"a missing folder", TextRequest(kSetLogFileName, "C:\\no-such-folder\\Logs.dat"), "does not exist"},
            {"MaxMessage above the largest file", SettingsRequest(8000000, 100, 60), "MaxMessage 8000000"},
            {"DevicePollRate 0", SettingsRequest(100, 0, 60), "DevicePollRate 0"},
            {"SaveRate 0", SettingsRequest(100, 100, 0), "SaveRate 0"},
        };
        PipeClient client(kRequestPipeName, kClientWait);
        for (const Refused& c : cases) {
            SCOPED_TRACE(c.name);
            const PipeReply reply = client.Call(c.request);
            EXPECT_EQ(reply.code, kReplyFailed);
            EXPECT_NE(ZintarClient::TextOf(reply).find(c.why), std::string::npos) << ZintarClient::TextOf(reply);
        }
        EXPECT_EQ(ServiceClient(kClientWait).GetLogFileName(), kDefaultLogFile);
        ASSERT_TRUE(StopAndWait(kServiceName));
    }

    SCOPED_TRACE("in the registry: the start runs on what can work, and the stop ends STOPPED");
    struct Stored {
        const char* name;
        std::function<void()> store;
        bool fallback;
    };
    const Stored cases[] = {
        {"LogFile too long to read", [] { SetSetting("LogFile", "C:\\" + std::string(300, 'x')); }, true},
        {"LogFile naming a folder", [] { SetSetting("LogFile", "C:\\windows"); }, true},
        {"LogFile in a missing folder", [] { SetSetting("LogFile", "C:\\no-such-folder\\Logs.dat"); }, true},
        {"MaxMessage above the largest file", [] { SetSetting("MaxMessage", 9000000); }, false},
        {"DevicePollRate 0", [] { SetSetting("DevicePollRate", 0); }, false},
        {"SaveRate whose milliseconds wrap", [] { SetSetting("SaveRate", 4294968); }, false},
    };
    std::int16_t second = 0;
    for (const Stored& c : cases) {
        SCOPED_TRACE(c.name);
        ClearSettings();
        SetSetting("DevicePollRate", 100);
        c.store();
        ASSERT_TRUE(StartAndWait(kServiceName)) << ServiceLog();
        const ZintarClient::Settings settings = ServiceClient(kClientWait).GetSettings();
        EXPECT_EQ(settings.logFileFallback, c.fallback);
        EXPECT_EQ(settings.logFileInUse, kDefaultLogFile);
        EXPECT_TRUE(settings.deviceOpen);
        EXPECT_TRUE(TakesMessages(*device, ++second));
        ASSERT_TRUE(StopAndWait(kServiceName));
        EXPECT_EQ(ServiceExitCode(kServiceName), 0u);
        EXPECT_TRUE(IsFolder("C:\\windows")) << "the log never moves onto a path it could not use";
        EXPECT_FALSE(IsFolder("C:\\no-such-folder"));
    }
    EXPECT_EQ(ServiceLog().find("unhandled"), std::string::npos) << ServiceLog();
}

TEST_F(ServiceFaults, ARestartWaitsForClientsThatHoldTheMapping)
{
    SetSetting("MaxMessage", 100);
    SetSetting("DevicePollRate", 100);
    Install();
    ASSERT_TRUE(StartAndWait(kServiceName));
    const std::string followed = TemporaryPath("follow");
    ChildProcess follow(CommandLine{Zintarctl() + "follow --poll 30000", followed});
    // The follower maps the log as it starts; it must still be running afterwards.
    ASSERT_FALSE(follow.WaitForExit(2000).has_value());
    std::int16_t second = 0;
    // The file grows, then shrinks. While it grows, a client slower than ours holds the mapping
    // for 17 s after it sees the service stop, longer than the stop's own 15 s: the start must
    // wait for it too.
    const std::pair<std::uint32_t, DWORD> resizes[] = {{200u, 17000}, {50u, 0}};
    for (const auto& [capacity, hold] : resizes) {
        SCOPED_TRACE(capacity);
        const HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, kFileMapName);
        ASSERT_NE(mapping, nullptr);
        const auto* header = static_cast<const volatile FileHeader*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
        std::thread slowClient([&] {
            WaitUntil([&] { return header->serverRunning == 0; });
            Sleep(hold);
            UnmapViewOfFile(const_cast<FileHeader*>(header));
            CloseHandle(mapping);
        });
        ServiceClient(kClientWait).SetSettings({capacity, 100, 0xF, 300});
        const bool resized =
            WaitForRing([&](const LogSnapshot& s) { return s.header.capacity == static_cast<std::int32_t>(capacity); });
        slowClient.join();
        ASSERT_TRUE(resized) << ServiceLog();
        EXPECT_TRUE(Answers());
        EXPECT_TRUE(TakesMessages(*device, ++second));
    }
    EXPECT_FALSE(follow.WaitForExit(0).has_value());
    EXPECT_EQ(ServiceLog(), "");
    follow.Terminate();
    DeleteFileA(followed.c_str());
}

TEST_F(ServiceFaults, AStartThatWaitsForAClientShowsItsCheckpointsToTheManager)
{
    SetSetting("MaxMessage", 100);
    Install();
    ASSERT_TRUE(StartAndWait(kServiceName));
    // Held across the stop, as a slow client would: the next start grows the file and waits.
    const HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, kFileMapName);
    ASSERT_NE(mapping, nullptr);
    ASSERT_TRUE(StopAndWait(kServiceName));
    SetSetting("MaxMessage", 200);
    RequestStart(kServiceName);
    SERVICE_STATUS status{};
    EXPECT_TRUE(WaitUntil(
        [&] {
            status = ServiceStatus(kServiceName);
            return status.dwCurrentState == SERVICE_START_PENDING && status.dwCheckPoint >= 2;
        },
        10000))
        << "a checkpoint after the settings, before the wait for the client";
    EXPECT_EQ(status.dwWaitHint, 30000u);
    CloseHandle(mapping);
    EXPECT_TRUE(WaitUntil([] { return ServiceState(kServiceName) == SERVICE_RUNNING; }));
    EXPECT_EQ(ServiceStatus(kServiceName).dwCheckPoint, 0u);
}

TEST_F(ServiceFaults, StopsThatMeetARestartLeaveOneServiceThatStopsAndStartsCleanly)
{
    SetSetting("MaxMessage", 100);
    SetSetting("DevicePollRate", 100);
    Install();
    ASSERT_TRUE(StartAndWait(kServiceName));
    std::mt19937 random(20261206);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        const DWORD process = ServiceProcessId(kServiceName);
        ServiceClient(kClientWait).SetSettings({100u + static_cast<std::uint32_t>(round % 2), 100, 0xF, 300});
        Sleep(std::uniform_int_distribution<DWORD>(0, 1500)(random));  // a stop anywhere in the restart
        ASSERT_TRUE(StopAndWait(kServiceName)) << ServiceLog();
        // The old process ends: nothing serves the pipe or starts again after STOPPED.
        const HANDLE old = OpenProcess(SYNCHRONIZE, FALSE, process);
        if (old != nullptr) {
            EXPECT_EQ(WaitForSingleObject(old, 30000), WAIT_OBJECT_0);
            CloseHandle(old);
        }
        ASSERT_TRUE(StartAndWait(kServiceName)) << ServiceLog();
        EXPECT_TRUE(Answers());
    }
    EXPECT_TRUE(TakesMessages(*device, 1));
    for (const char* text : {"unhandled", "Invalid handle", "Failed to restart"})
        EXPECT_EQ(ServiceLog().find(text), std::string::npos) << ServiceLog();
}

TEST_F(ServiceFaults, OneClientCannotWedgeOrFloodTheService)
{
    Install();
    ASSERT_TRUE(StartAndWait(kServiceName));

    SCOPED_TRACE("a client that opens the request pipe and never the reply pipe");
    const HANDLE halfOpen = CreateFileA(kRequestPipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(halfOpen, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Answers()) << "served once the half-open client has had its I/O time limit";
    CloseHandle(halfOpen);

    SCOPED_TRACE("ten thousand refused requests: each answered, the diagnostic log stays small");
    PipeClient client(kRequestPipeName, kClientWait);
    for (int i = 0; i < 10000; ++i)
        ASSERT_EQ(client.Call(TextRequest(kSetLogFileName, "")).code, kReplyFailed);
    const std::string log = ServiceLog();
    EXPECT_LT(log.size(), 16384u) << "one entry a second at the most";
    EXPECT_NE(log.find("more entries like this one were left out"), std::string::npos) << log;
}

TEST_F(ServiceFaults, AProgramHoldingThePipeNameStopsTheStartWithTheReason)
{
    Install();
    const HANDLE squatter = CreateNamedPipeA(kRequestPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE,
                                             PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    RequestStart(kServiceName);
    ASSERT_TRUE(WaitUntil([] { return ServiceState(kServiceName) == SERVICE_STOPPED; }));
    EXPECT_EQ(ServiceExitCode(kServiceName), ZintarUtil::Services::Service::kExitStartFailed);
    EXPECT_NE(ServiceLog().find("Failed to create the pipe \\\\.\\pipe\\ZintarServerPipe, another program"),
              std::string::npos)
        << ServiceLog();
    CloseHandle(squatter);
    ASSERT_TRUE(StartAndWait(kServiceName));
    EXPECT_TRUE(Answers());
}

// Any local user can create an object under one of the log's names before the service starts.
// One of another kind, an event that resets the other way, one owned by another account or one
// whose access list refuses the service ends the start at once with a text that names it; what a
// client that died leaves (the lock taken, an event reset) is adopted. Wine takes any owner a
// creator names (Windows would want the right to it) and enforces the access lists.
TEST_F(SharedObjectFaults, AnObjectOfTheWrongKindUnderALogNameEndsTheStartNamingIt)
{
    Install();
    struct Squatter {
        const char* name;
        std::function<HANDLE()> create;
        const char* refusal;  // nothing: the start adopts the object and runs
    };
    const Squatter cases[] = {
        {"a kernel mutex under the header lock's name", [] { return CreateMutexA(nullptr, FALSE, kHeaderMutexName); },
         "The object Global\\ZintarServiceFileHeaderMutex is not an event but an object of another kind"},
        {"a manual-reset event under the header lock's name",
         [] { return CreateEventA(nullptr, TRUE, TRUE, kHeaderMutexName); },
         "The object Global\\ZintarServiceFileHeaderMutex is a manual-reset event, where an auto-reset event is "
         "needed"},
        {"an auto-reset event under the read-wait event's name",
         [] { return CreateEventA(nullptr, FALSE, FALSE, kReadWaitEventName); },
         "The object Global\\ZintarServiceReadWaitEvent is an auto-reset event, where a manual-reset event is needed"},
        {"a semaphore under the write-wait event's name",
         [] { return CreateSemaphoreA(nullptr, 0, 1, kWriteWaitEventName); },
         "The object Global\\ZintarServiceWriteWaitEvent is not an event but an object of another kind"},
        {"an event under the mapping's name", [] { return CreateEventA(nullptr, TRUE, TRUE, kFileMapName); },
         "The object Global\\ZintarServiceFileMap is not a file mapping but an object of another kind"},
        {"an event owned by Users under the read-wait event's name",
         [] {
             return WithDescriptor("O:BUD:(A;;GA;;;WD)",
                                   [](auto* a) { return CreateEventA(a, TRUE, TRUE, kReadWaitEventName); });
         },
         "The object Global\\ZintarServiceReadWaitEvent belongs to BUILTIN\\Users, an account that is neither"},
        {"a section owned by another user under the mapping's name",
         [] {
             return WithDescriptor("O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)", [](auto* a) {
                 return CreateFileMappingA(INVALID_HANDLE_VALUE, a, PAGE_READWRITE, 0, 65536, kFileMapName);
             });
         },
         "The object Global\\ZintarServiceFileMap belongs to S-1-5-21-1-2-3-1001"},
        {"a header lock whose access list refuses everyone",
         [] { return WithDescriptor("D:", [](auto* a) { return CreateEventA(a, FALSE, TRUE, kHeaderMutexName); }); },
         "The object Global\\ZintarServiceFileHeaderMutex exists with an access list that refuses this program"},
        {"a section whose access list refuses everyone",
         [] {
             return WithDescriptor("D:", [](auto* a) {
                 return CreateFileMappingA(INVALID_HANDLE_VALUE, a, PAGE_READWRITE, 0, 65536, kFileMapName);
             });
         },
         "The object Global\\ZintarServiceFileMap exists with an access list that refuses this program"},
        {"the header lock left taken", [] { return CreateEventA(nullptr, FALSE, FALSE, kHeaderMutexName); }, nullptr},
        {"the read-wait event left reset", [] { return CreateEventA(nullptr, TRUE, FALSE, kReadWaitEventName); },
         nullptr},
        {"the write-wait event left reset", [] { return CreateEventA(nullptr, TRUE, FALSE, kWriteWaitEventName); },
         nullptr},
    };
    for (const Squatter& c : cases) {
        SCOPED_TRACE(c.name);
        ClearServiceLog();
        const HANDLE squatter = c.create();
        ASSERT_NE(squatter, nullptr);
        RequestStart(kServiceName);
        EXPECT_TRUE(WaitUntil([] { return ServiceState(kServiceName) != SERVICE_START_PENDING; }, 20000))
            << "a start never hangs";
        if (c.refusal != nullptr) {
            EXPECT_EQ(ServiceState(kServiceName), DWORD{SERVICE_STOPPED});
            EXPECT_EQ(ServiceExitCode(kServiceName), ZintarUtil::Services::Service::kExitStartFailed);
            EXPECT_NE(ServiceLog().find(c.refusal), std::string::npos) << ServiceLog();
        } else {
            EXPECT_EQ(ServiceState(kServiceName), DWORD{SERVICE_RUNNING}) << ServiceLog();
            EXPECT_EQ(ReadRing().header.serverRunning, 1);
        }
        if (ServiceState(kServiceName) != SERVICE_STOPPED) {
            EXPECT_TRUE(StopAndWait(kServiceName));
        }
        CloseHandle(squatter);
    }
}

// StrictClientAccess 1, 0 and 1 again, as a standard user meets it: the project's reader and pipe
// client work either way; with 1 the mapping cannot be opened to change its DACL, nor the lock
// with all rights (as CreateEvent asks), with 0 both can, as before. Between the runs this process
// holds the mapping and the lock, as a slow client would, so each start adopts the last one's
// objects and must give them its own DACL.
TEST_F(SharedObjectFaults, StrictClientAccessLeavesAStandardUserAClientsRightsOnly)
{
    Install();
    HANDLE held[2] = {};
    for (const std::uint32_t strict : {1u, 0u, 1u}) {
        SCOPED_TRACE("StrictClientAccess " + std::to_string(strict));
        SetSetting("StrictClientAccess", strict);
        ASSERT_TRUE(StartAndWait(kServiceName)) << ServiceLog();
        for (HANDLE handle : held)  // adopted by the start
            if (handle != nullptr)
                CloseHandle(handle);
        {
            const AsStandardUser user;
            ASSERT_TRUE(user.impersonating);
            EXPECT_EQ(ReadRing().header.serverRunning, 1);
            EXPECT_EQ(ServiceClient(kClientWait).GetFileMapName(), kFileMapName);
            const HANDLE forItsDacl = OpenFileMappingA(WRITE_DAC, FALSE, kFileMapName);
            const HANDLE asCreateEvent = OpenEventA(EVENT_ALL_ACCESS, FALSE, kHeaderMutexName);
            EXPECT_EQ(forItsDacl == nullptr, strict == 1);
            EXPECT_EQ(asCreateEvent == nullptr, strict == 1);
            for (HANDLE handle : {forItsDacl, asCreateEvent})
                if (handle != nullptr)
                    CloseHandle(handle);
        }
        held[0] = OpenFileMappingA(FILE_MAP_READ, FALSE, kFileMapName);
        held[1] = OpenEventA(SYNCHRONIZE, FALSE, kHeaderMutexName);
        ASSERT_TRUE(StopAndWait(kServiceName));
    }
    for (HANDLE handle : held)
        CloseHandle(handle);
    EXPECT_EQ(SettingNumber("StrictClientAccess"), 1u) << "a stop keeps the registry's value";
    EXPECT_EQ(ServiceLog(), "");
}
