// The service framework against a stand-in control manager: what it registers, the states and
// checkpoints it reports, and what it does when a step fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "DiagnosticLog.h"
#include "Exceptions.h"
#include "Service.h"
#include "ServiceControlManager.h"
#include "TestFiles.h"

using namespace ZintarUtil::Services;
using Lines = std::vector<std::string>;

namespace {

// Records every call as one line and answers as told.
class FakeManager : public ServiceControlManager {
public:
    template <class... Parts>
    void Record(const Parts&... parts)
    {
        std::string line;
        ((line += (line.empty() ? "" : " ") + Text(parts)), ...);
        calls.push_back(line);
    }
    SC_HANDLE OpenManager(const char*, const char* database, DWORD access) override
    {
        Record("open manager", database, access);
        return failOpenManager ? nullptr : Handle(1);
    }
    SC_HANDLE CreateService(SC_HANDLE, const char* name, const char* display, DWORD access, DWORD type, DWORD start,
                            DWORD errorControl, const char* path) override
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
    BOOL CloseServiceHandle(SC_HANDLE handle) override { return Record("close", reinterpret_cast<std::uintptr_t>(handle)), TRUE; }
    BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYA* table) override
    {
        Record("dispatch", table[0].lpServiceName);
        table[0].lpServiceProc(0, nullptr);
        return TRUE;
    }
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* name, LPHANDLER_FUNCTION) override
    {
        Record("register", name);
        return reinterpret_cast<SERVICE_STATUS_HANDLE>(3);
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, SERVICE_STATUS* s) override
    {
        Record("status", s->dwCurrentState, "cp", s->dwCheckPoint, "accepts", s->dwControlsAccepted, "type", s->dwServiceType);
        return failStatus ? FALSE : TRUE;
    }

    Lines calls;
    bool failOpenManager = false, failCreate = false, failOpenService = false, failStatus = false;

private:
    static SC_HANDLE Handle(std::uintptr_t value) { return reinterpret_cast<SC_HANDLE>(value); }
    static std::string Text(const char* text) { return text; }
    static std::string Text(char* text) { return text; }
    static std::string Text(const std::string& text) { return text; }
    template <class Number>
    static std::string Text(Number number) { return std::to_string(number); }
};

class TestService : public Service {
public:
    void OnStart() override { events.push_back("OnStart"); }
    void OnStop() override
    {
        events.push_back("OnStop");
        if (failStop)
            throw ZintarUtil::Exceptions::ExceptionBase("stop failed");
    }
    Lines events;
    bool failStop = false;
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
        ZintarUtil::SetLogFile(log);
    }
    void TearDown() override
    {
        ZintarUtil::SetLogFile("");
        std::remove(log.c_str());
        ReplaceServiceControlManager(nullptr);
    }
    Lines Calls() { return std::exchange(manager.calls, {}); }

    FakeManager manager;
    std::unique_ptr<TestService> owned = std::make_unique<TestService>();  // its destructor may throw
    TestService& service = *owned;
    const std::string log = ZintarTest::TemporaryPath("framework-log");
};

const std::string kOpenManager = "open manager ServicesActive 983103";
const std::string kCreate = "create ZintarServer Tervan Log Server \"C:\\Program Files\\Tervan\\ZintarServer.exe\" 983551 16 2 1";

}  // namespace

TEST_F(ServiceFramework, InstallAndRemoveNameTheirFailuresAndCloseWhatWasOpened)
{
    struct Case {
        const char* name;
        bool FakeManager::*failure;
        void (Service::*operation)();
        std::string text;
        Lines calls;
    };
    bool FakeManager::*none = nullptr;
    const Case cases[] = {
        {"install", none, &Service::Install, "", {kOpenManager, kCreate, "close 2", "close 1"}},
        {"install, exists", &FakeManager::failCreate, &Service::Install, "CreateService() failed - Error code : 1073",
         {kOpenManager, kCreate, "close 1"}},
        {"remove", none, &Service::Remove, "", {kOpenManager, "open ZintarServer 983551", "delete", "close 2", "close 1"}},
        {"remove, absent", &FakeManager::failOpenService, &Service::Remove, "OpenService() failed - Error code : 1060",
         {kOpenManager, "open ZintarServer 983551", "close 1"}},
        {"remove, no manager", &FakeManager::failOpenManager, &Service::Remove, "OpenSCManager() failed", {kOpenManager}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        manager = FakeManager();
        if (c.failure != nullptr)
            manager.*c.failure = true;
        std::string failure;
        try {
            (service.*c.operation)();
        } catch (const ZintarUtil::Exceptions::ExceptionWindows& e) {
            failure = e.GetMessageText();
        }
        EXPECT_EQ(failure.substr(0, c.text.size()), c.text);
        EXPECT_EQ(failure.empty(), c.text.empty());
        EXPECT_EQ(Calls(), c.calls);
    }
}

TEST_F(ServiceFramework, StartControlsAndStopReportTheirStatesAndCheckpoints)
{
    service.RunAsService();
    EXPECT_EQ(Calls(), (Lines{"dispatch ZintarServer", "register ZintarServer", "status 2 cp 1 accepts 5 type 16",
                              "status 4 cp 0 accepts 5 type 16"}));
    // Interrogate while running; pause and continue, which the manager never sends; unknown codes.
    for (DWORD control : {4, 2, 3, 6, 200})
        Service::ControlHandler(control);
    EXPECT_EQ(Calls(), (Lines{"status 4 cp 0 accepts 5 type 16", "status 6 cp 1 accepts 5 type 16",
                              "status 7 cp 2 accepts 5 type 16", "status 5 cp 3 accepts 5 type 16",
                              "status 4 cp 0 accepts 5 type 16"}));
    // A stop that fails stays pending; an interrogation then counts the checkpoint on; shutdown stops.
    service.failStop = true;
    Service::ControlHandler(SERVICE_CONTROL_STOP);
    Service::ControlHandler(SERVICE_CONTROL_INTERROGATE);
    service.failStop = false;
    Service::ControlHandler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(Calls(), (Lines{"status 3 cp 1 accepts 5 type 16", "status 3 cp 2 accepts 5 type 16",
                              "status 3 cp 3 accepts 5 type 16", "status 1 cp 0 accepts 5 type 16"}));
    EXPECT_EQ(service.events, (Lines{"OnStart", "OnStop", "OnStop"}));

    manager.failStatus = true;
    Service::ControlHandler(SERVICE_CONTROL_INTERROGATE);
    const std::string logged = ZintarTest::ReadWholeFile(log);
    EXPECT_NE(logged.find("An exception has occured in the service's control method : stop failed\r\n"), std::string::npos);
    EXPECT_NE(logged.find("An exception has occured in the service's control method : Failed to report status\r\n"
                          "SetServiceStatus failed"),
              std::string::npos);
}
