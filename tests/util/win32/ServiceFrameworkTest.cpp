// The service framework against a stand-in control manager: what it registers, the states and
// checkpoints it reports, and what it does when a step fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/TestFiles.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/Timeout.h"
#include "util/win32/Service.h"
#include "util/win32/ServiceControlManager.h"

using namespace ZintarUtil::Services;
using Lines = std::vector<std::string>;

namespace {

// Records every call as one line and answers as told. The pending reports come from a thread of
// the framework, so the lines are kept under a lock.
class FakeManager : public ServiceControlManager {
public:
    FakeManager() = default;
    FakeManager& operator=(FakeManager&& other)
    {
        calls = std::move(other.calls);
        failOpenManager = other.failOpenManager, failCreate = other.failCreate;
        failOpenService = other.failOpenService, failStatus = other.failStatus, failConfig = other.failConfig;
        return *this;
    }
    template <class... Parts>
    void Record(const Parts&... parts)
    {
        std::string line;
        ((line += (line.empty() ? "" : " ") + Text(parts)), ...);
        std::lock_guard<std::mutex> hold(lock);
        calls.push_back(line);
        recorded.notify_all();
    }
    // Waits, a bounded time, until `seen` holds for the lines so far.
    bool WaitFor(const std::function<bool(const Lines&)>& seen)
    {
        std::unique_lock<std::mutex> hold(lock);
        return recorded.wait_for(hold, std::chrono::seconds(10), [&] { return seen(calls); });
    }
    Lines Take()
    {
        std::lock_guard<std::mutex> hold(lock);
        return std::exchange(calls, {});
    }
    SC_HANDLE OpenManager(const char*, const char* database, DWORD access) override
    {
        Record("open manager", database, access);
        return failOpenManager ? nullptr : Handle(1);
    }
    SC_HANDLE CreateService(SC_HANDLE, const char* name, const char* display, DWORD access, DWORD type, DWORD start,
                            DWORD errorControl, const char* path, const char*) override
    {
        Record("create", name, display, path, access, type, start, errorControl);
        SetLastError(ERROR_SERVICE_EXISTS);
        return failCreate ? nullptr : Handle(2);
    }
    SC_HANDLE OpenService(SC_HANDLE, const char* name, DWORD access) override
    {
        Record("open", name, access);
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return failOpenService ? nullptr : Handle(2);
    }
    BOOL DeleteService(SC_HANDLE) override { return Record("delete"), TRUE; }
    BOOL CloseServiceHandle(SC_HANDLE handle) override
    {
        return Record("close", reinterpret_cast<std::uintptr_t>(handle)), TRUE;
    }
    BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYA* table) override
    {
        Record("dispatch", table[0].lpServiceName);
        table[0].lpServiceProc(0, nullptr);
        return TRUE;
    }
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerEx(const char* name, LPHANDLER_FUNCTION_EX, void*) override
    {
        Record("register", name);
        return reinterpret_cast<SERVICE_STATUS_HANDLE>(3);
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, SERVICE_STATUS* s) override
    {
        Record("status", s->dwCurrentState, "cp", s->dwCheckPoint, "exit", s->dwServiceSpecificExitCode);
        // Stop, shutdown and preshutdown while running (or paused); a start or a stop under way
        // takes no stop, only the system's shutdown; stopped, nothing.
        const bool settled = s->dwCurrentState == SERVICE_RUNNING || s->dwCurrentState == SERVICE_PAUSED;
        EXPECT_EQ(s->dwControlsAccepted, settled                                ? 0x105u
                                         : s->dwCurrentState == SERVICE_STOPPED ? 0u
                                                                                : 0x104u)
            << "state " << s->dwCurrentState;
        EXPECT_EQ(s->dwServiceType, 16u);
        EXPECT_EQ(s->dwWin32ExitCode, s->dwServiceSpecificExitCode == 0 ? 0u : 1066u);
        return failStatus ? FALSE : TRUE;
    }
    BOOL ChangeServiceConfig2(SC_HANDLE, DWORD level, void*) override
    {
        Record("config", level);
        SetLastError(ERROR_INVALID_LEVEL);
        return failConfig ? FALSE : TRUE;
    }

    Lines calls;
    std::mutex lock;
    std::condition_variable recorded;
    bool failOpenManager = false, failCreate = false, failOpenService = false, failStatus = false, failConfig = false;

private:
    static SC_HANDLE Handle(std::uintptr_t value) { return reinterpret_cast<SC_HANDLE>(value); }
    static std::string Text(const char* text) { return text; }
    static std::string Text(char* text) { return text; }
    static std::string Text(const std::string& text) { return text; }
    template <class Number>
    static std::string Text(Number number)
    {
        return std::to_string(number);
    }
};

class TestService : public Service {
public:
    void OnStart() override
    {
        events.push_back("OnStart");
        if (duringStart)
            duringStart();
        if (failStart)
            throw ZintarUtil::Exceptions::ExceptionBase("start failed");
    }
    void OnStop() override
    {
        events.push_back("OnStop");
        if (failStop)
            throw ZintarUtil::Exceptions::ExceptionBase("stop failed");
    }
    void StopWhatStillRuns() override { events.push_back("StopWhatStillRuns"); }
    void OnStopRequested() override { events.push_back("OnStopRequested"); }
    Lines events;
    bool failStart = false, failStop = false;
    std::function<void()> duringStart;
};

class ServiceFramework : public ::testing::Test {
protected:
    void SetUp() override
    {
        ReplaceServiceControlManager(&manager);
        service.SetServiceName("ZintarServer");
        service.SetDisplayName("Tervan Log Server");
        service.SetExecutablePath("C:\\Program Files\\Tervan\\ZintarServer.exe");
        Service::SetActiveInstance(&service);
        service.SetProgressInterval(60000);  // no pending report but the steps' own
        ZintarUtil::SetLogFile(log);
    }
    void TearDown() override
    {
        ZintarUtil::SetLogFile("");
        ReplaceServiceControlManager(nullptr);
    }
    Lines Calls() { return manager.Take(); }

    FakeManager manager;
    std::unique_ptr<TestService> owned = std::make_unique<TestService>();  // its destructor may throw
    TestService& service = *owned;
    const ZintarTest::TemporaryFile logFile{"framework-log"};
    const std::string& log = logFile.path;
};

const std::string kOpenManager = "open manager ServicesActive 983103";
const std::string kCreate =
    "create ZintarServer Tervan Log Server \"C:\\Program Files\\Tervan\\ZintarServer.exe\" 983551 16 2 1";

}  // namespace

TEST_F(ServiceFramework, InstallAndRemoveNameTheirFailuresAndCloseWhatWasOpened)
{
    struct Case {
        const char* name;
        bool FakeManager::*failure;
        void (*operation)(Service&);
        std::string text;
        Lines calls;
    };
    bool FakeManager::*none = nullptr;
    auto install = [](Service& s) { s.Install(); };
    auto remove = [](Service& s) { s.Remove(); };
    const Lines installed = {kOpenManager, kCreate, "config 2", "config 4", "config 7", "close 2", "close 1"};
    const Case cases[] = {
        {"install", none, install, "", installed},
        {"install, failure actions refused",
         &FakeManager::failConfig,
         install,
         "",
         {kOpenManager, kCreate, "config 2", "close 2", "close 1"}},
        {"install, exists",
         &FakeManager::failCreate,
         install,
         "CreateService() failed - Error code : 1073",
         {kOpenManager, kCreate, "close 1"}},
        {"remove", none, remove, "", {kOpenManager, "open ZintarServer 983551", "delete", "close 2", "close 1"}},
        {"remove, absent",
         &FakeManager::failOpenService,
         remove,
         "OpenService() failed - Error code : 1060",
         {kOpenManager, "open ZintarServer 983551", "close 1"}},
        {"remove, no manager", &FakeManager::failOpenManager, remove, "OpenSCManager() failed", {kOpenManager}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        manager = FakeManager();
        if (c.failure != nullptr)
            manager.*c.failure = true;
        std::string failure;
        try {
            c.operation(service);
        } catch (const ZintarUtil::Exceptions::ExceptionWindows& e) {
            failure = e.GetMessageText();
        }
        EXPECT_EQ(failure.substr(0, c.text.size()), c.text);
        EXPECT_EQ(failure.empty(), c.text.empty());
        EXPECT_EQ(Calls(), c.calls);
    }
    manager = FakeManager();
    manager.failConfig = true;
    EXPECT_EQ(service.Install(), "The service manager refused the failure actions (error 124): nothing restarts the "
                                 "service after a failure.");
}

// A service with its own SID and a list of privileges gets them after the failure actions, on
// install and on reconfigure alike; each refusal is a sentence of its own, and one refusal does
// not keep the manager from being asked the rest.
TEST_F(ServiceFramework, OwnSidAndPrivilegesAreAskedForAndTheirRefusalsSaid)
{
    service.SetOwnSid();
    service.SetRequiredPrivileges({"SeChangeNotifyPrivilege"});
    const std::string configured[] = {"config 2", "config 4", "config 7", "config 5", "config 6"};
    EXPECT_EQ(service.Install(), "");
    EXPECT_EQ(Calls(), (Lines{kOpenManager, kCreate, configured[0], configured[1], configured[2], configured[3],
                              configured[4], "close 2", "close 1"}));
    EXPECT_EQ(service.Reconfigure(), "");
    EXPECT_EQ(Calls(), (Lines{kOpenManager, "open ZintarServer 983551", configured[0], configured[1], configured[2],
                              configured[3], configured[4], "close 2", "close 1"}));
    manager.failConfig = true;
    EXPECT_EQ(service.Reconfigure(),
              "The service manager refused the failure actions (error 124): nothing restarts the service after a "
              "failure.\nThe service manager refused the service a SID of its own (error 124): access lists that "
              "name it do not admit it.\nThe service manager refused to limit the service's privileges (error 124): "
              "it keeps every privilege of its account.");
    EXPECT_EQ(Calls(), (Lines{kOpenManager, "open ZintarServer 983551", "config 2", "config 5", "config 6", "close 2",
                              "close 1"}));
}

TEST_F(ServiceFramework, StartControlsAndStopReportTheirStatesAndCheckpoints)
{
    service.RunAsService();
    EXPECT_EQ(Calls(), (Lines{"dispatch ZintarServer", "register ZintarServer", "status 2 cp 1 exit 0",
                              "status 4 cp 0 exit 0"}));
    // Interrogate while running; pause and continue, which the manager never sends; unknown codes.
    for (DWORD control : {4, 2, 3, 6, 200})
        Service::ControlHandler(control);
    EXPECT_EQ(Calls(), (Lines{"status 4 cp 0 exit 0", "status 6 cp 1 exit 0", "status 7 cp 2 exit 0",
                              "status 5 cp 3 exit 0", "status 4 cp 0 exit 0"}));
    // A stop answers at once and is carried out on a thread of its own; one that fails still ends
    // STOPPED, with its exit code, after what still ran was ended; a shutdown behind it is ignored.
    service.failStop = true;
    Service::ControlHandler(SERVICE_CONTROL_STOP);
    ZintarUtil::Timeout budget(10000);
    ASSERT_TRUE(service.JoinStop(budget));
    Service::ControlHandler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(Calls(), (Lines{"status 3 cp 1 exit 0", "status 3 cp 2 exit 0", "status 1 cp 0 exit 3"}));
    EXPECT_EQ(service.events, (Lines{"OnStart", "OnStopRequested", "OnStop", "StopWhatStillRuns"}));
    // Stopped, it takes no restart.
    service.Restart();
    EXPECT_TRUE(Calls().empty());

    manager.failStatus = true;
    Service::ControlHandler(SERVICE_CONTROL_INTERROGATE);
    const std::string logged = ZintarTest::ReadWholeFile(log);
    EXPECT_NE(logged.find("An exception has occured in the service's control method : stop failed\r\n"),
              std::string::npos);
    EXPECT_NE(logged.find("An exception has occured in the service's control method : Failed to report status\r\n"
                          "SetServiceStatus failed"),
              std::string::npos);
}

TEST_F(ServiceFramework, AFailedStartOrRestartEndsStoppedWithItsExitCode)
{
    service.failStart = true;
    service.RunAsService();
    EXPECT_EQ(Calls(), (Lines{"dispatch ZintarServer", "register ZintarServer", "status 2 cp 1 exit 0",
                              "status 1 cp 0 exit 1"}));
    EXPECT_EQ(service.events, (Lines{"OnStart", "StopWhatStillRuns"}));

    service.failStart = false;
    service.events.clear();
    service.RunAsService();
    Calls();
    service.Restart();
    EXPECT_TRUE(Calls().empty()) << "a restart reports nothing while it works";
    service.failStart = true;
    service.Restart();
    EXPECT_EQ(Calls(), (Lines{"status 1 cp 0 exit 2"}));
    EXPECT_EQ(service.events, (Lines{"OnStart", "OnStop", "OnStart", "OnStop", "OnStart", "StopWhatStillRuns"}));
    EXPECT_NE(ZintarTest::ReadWholeFile(log).find("Failed to restart the service : start failed"), std::string::npos);
}

TEST_F(ServiceFramework, ALongStartKeepsReportingAndAPreshutdownNoticeStopsTheService)
{
    // However long a step waits, the manager keeps hearing from it.
    service.SetProgressInterval(20);
    const std::string thirdCheckpoint = "status 2 cp 3 exit 0";
    service.duringStart = [&] {
        EXPECT_TRUE(manager.WaitFor(
            [&](const Lines& lines) { return std::find(lines.begin(), lines.end(), thirdCheckpoint) != lines.end(); }));
    };
    service.RunAsService();
    Lines calls = Calls();
    ASSERT_GE(calls.size(), 6u);
    EXPECT_EQ(calls[2], "status 2 cp 1 exit 0");
    EXPECT_EQ(calls[4], thirdCheckpoint);
    EXPECT_EQ(calls.back(), "status 4 cp 0 exit 0");

    EXPECT_EQ(Service::ControlHandlerEx(200, 0, nullptr, nullptr), DWORD{ERROR_CALL_NOT_IMPLEMENTED});
    EXPECT_EQ(Service::ControlHandlerEx(SERVICE_CONTROL_PRESHUTDOWN, 0, nullptr, nullptr), DWORD{NO_ERROR});
    ZintarUtil::Timeout budget(10000);
    ASSERT_TRUE(service.JoinStop(budget));
    calls = Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "status 3 cp 1 exit 0");
    EXPECT_EQ(calls.back(), "status 1 cp 0 exit 0");
    EXPECT_EQ(service.events, (Lines{"OnStart", "OnStopRequested", "OnStop"}));
}
