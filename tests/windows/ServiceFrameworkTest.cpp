// The service framework against a stand-in control manager: what it registers, the states and
// checkpoints it reports, and what it does when a step fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Exceptions.h"
#include "Service.h"
#include "ServiceControlManager.h"
#include "DiagnosticLog.h"
#include "TestFiles.h"

using namespace ZintarUtil::Services;
using ZintarUtil::Exceptions::ExceptionWindows;

namespace {

SC_HANDLE Fake(std::uintptr_t value)
{
    return reinterpret_cast<SC_HANDLE>(value);
}

// Records every call as one line and answers as told.
class FakeManager : public ServiceControlManager {
public:
    SC_HANDLE OpenManager(const char* machine, const char* database, DWORD access) override
    {
        calls.push_back(std::string("open manager ") + (machine ? machine : "local") + " " + database + " " +
                        std::to_string(access));
        return failOpenManager ? nullptr : Fake(1);
    }
    SC_HANDLE CreateService(SC_HANDLE, const char* name, const char* display, DWORD access, DWORD type,
                            DWORD start, DWORD errorControl, const char* path) override
    {
        calls.push_back(std::string("create ") + name + "|" + display + "|" + path + "|" + std::to_string(access) +
                        "|" + std::to_string(type) + "|" + std::to_string(start) + "|" + std::to_string(errorControl));
        SetLastError(ERROR_SERVICE_EXISTS);
        return failCreate ? nullptr : Fake(2);
    }
    SC_HANDLE OpenService(SC_HANDLE, const char* name, DWORD access) override
    {
        calls.push_back(std::string("open ") + name + " " + std::to_string(access));
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return failOpenService ? nullptr : Fake(2);
    }
    BOOL DeleteService(SC_HANDLE) override
    {
        calls.push_back("delete");
        return TRUE;
    }
    BOOL CloseServiceHandle(SC_HANDLE handle) override
    {
        calls.push_back("close " + std::to_string(reinterpret_cast<std::uintptr_t>(handle)));
        return TRUE;
    }
    BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRYA* table) override
    {
        calls.push_back(std::string("dispatch ") + table[0].lpServiceName);
        table[0].lpServiceProc(0, nullptr);
        return TRUE;
    }
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* name, LPHANDLER_FUNCTION) override
    {
        calls.push_back(std::string("register ") + name);
        return reinterpret_cast<SERVICE_STATUS_HANDLE>(3);
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE, SERVICE_STATUS* status) override
    {
        calls.push_back("status " + std::to_string(status->dwCurrentState) + " cp " +
                        std::to_string(status->dwCheckPoint) + " accepts " +
                        std::to_string(status->dwControlsAccepted));
        return failStatus ? FALSE : TRUE;
    }

    std::vector<std::string> calls;
    bool failOpenManager = false, failCreate = false, failOpenService = false, failStatus = false;
};

class TestService : public Service {
public:
    void OnStart() override
    {
        events.push_back("OnStart");
        if (failStart)
            throw ZintarUtil::Exceptions::ExceptionBase("start failed");
    }
    void OnStop() override
    {
        events.push_back("OnStop");
        if (failStop)
            throw ZintarUtil::Exceptions::ExceptionBase("stop failed");
    }
    std::vector<std::string> events;
    bool failStart = false, failStop = false;
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
        std::remove(log.c_str());
        ZintarUtil::SetLogFile(log);
    }
    void TearDown() override
    {
        ZintarUtil::SetLogFile("");
        std::remove(log.c_str());
        ReplaceServiceControlManager(nullptr);
    }
    std::vector<std::string> Calls()
    {
        std::vector<std::string> taken;
        taken.swap(manager.calls);
        return taken;
    }

    FakeManager manager;
    std::unique_ptr<TestService> owned = std::make_unique<TestService>();  // its destructor may throw
    TestService& service = *owned;
    const std::string log = ZintarTest::TemporaryPath("framework-log");
};

using Lines = std::vector<std::string>;

}  // namespace

TEST_F(ServiceFramework, InstallRegistersAnAutomaticOwnProcessServiceWithItsPathQuoted)
{
    service.Install();
    EXPECT_EQ(Calls(), (Lines{"open manager local ServicesActive 983103",
                              "create ZintarServer|Tervan Log Server|\"C:\\Program Files\\Tervan\\ZintarServer.exe\"|983551|16|2|1",
                              "close 2", "close 1"}));
}

TEST_F(ServiceFramework, FailuresNameTheirCallAndCloseWhatWasOpened)
{
    struct Case {
        const char* name;
        bool FakeManager::*failure;
        void (Service::*operation)();
        const char* text;
        DWORD error;
        Lines calls;
    };
    const Case cases[] = {
        {"install, exists", &FakeManager::failCreate, &Service::Install, "CreateService() failed", ERROR_SERVICE_EXISTS,
         {"open manager local ServicesActive 983103",
          "create ZintarServer|Tervan Log Server|\"C:\\Program Files\\Tervan\\ZintarServer.exe\"|983551|16|2|1", "close 1"}},
        {"remove, absent", &FakeManager::failOpenService, &Service::Remove, "OpenService() failed",
         ERROR_SERVICE_DOES_NOT_EXIST, {"open manager local ServicesActive 983103", "open ZintarServer 983551", "close 1"}},
        {"remove, no manager", &FakeManager::failOpenManager, &Service::Remove, "OpenSCManager() failed", 0,
         {"open manager local ServicesActive 983103"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        manager = FakeManager();
        manager.*c.failure = true;
        try {
            (service.*c.operation)();
            ADD_FAILURE() << "no exception";
        } catch (const ExceptionWindows& e) {
            EXPECT_EQ(e.GetMessageText().rfind(c.text, 0), 0u) << e.GetMessageText();
            if (c.error != 0) {
                EXPECT_EQ(e.ErrorCode(), c.error);
            }
        }
        EXPECT_EQ(Calls(), c.calls);
    }
}

TEST_F(ServiceFramework, StartControlsAndStopReportTheirStatesAndCheckpoints)
{
    service.RunAsService();
    EXPECT_EQ(Calls(), (Lines{"dispatch ZintarServer", "register ZintarServer", "status 2 cp 1 accepts 5",
                              "status 4 cp 0 accepts 5"}));
    // Interrogate while running; pause and continue, which the manager never sends; unknown codes.
    for (DWORD control : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{SERVICE_CONTROL_PAUSE}, DWORD{SERVICE_CONTROL_CONTINUE}, DWORD{6}, DWORD{200}})
        Service::ControlHandler(control);
    EXPECT_EQ(Calls(), (Lines{"status 4 cp 0 accepts 5", "status 6 cp 1 accepts 5", "status 7 cp 2 accepts 5",
                              "status 5 cp 3 accepts 5", "status 4 cp 0 accepts 5"}));
    // A stop that fails stays pending; an interrogation then counts the checkpoint on.
    service.failStop = true;
    Service::ControlHandler(SERVICE_CONTROL_STOP);
    Service::ControlHandler(SERVICE_CONTROL_INTERROGATE);
    service.failStop = false;
    Service::ControlHandler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(Calls(), (Lines{"status 3 cp 1 accepts 5", "status 3 cp 2 accepts 5", "status 3 cp 3 accepts 5",
                              "status 1 cp 0 accepts 5"}));
    EXPECT_EQ(service.events, (Lines{"OnStart", "OnStop", "OnStop"}));
    EXPECT_NE(ZintarTest::ReadWholeFile(log).find("An exception has occured in the service's control method : stop failed"), std::string::npos);
}

TEST_F(ServiceFramework, AFailedStatusReportIsLoggedWithItsCause)
{
    manager.failStatus = true;
    Service::ControlHandler(SERVICE_CONTROL_INTERROGATE);
    EXPECT_NE(ZintarTest::ReadWholeFile(log).find("An exception has occured in the service's control method : Failed to report status\r\n"
                                                  "SetServiceStatus failed"),
              std::string::npos);
}
