// The service as an administrator and a client meet it: installed with the program's own switch,
// run by the service control manager with the project's driver loaded, asked every request,
// restarted by new settings, stopped and removed; and the texts it leaves when something fails.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "client/win32/PipeClient.h"
#include "client/win32/ServiceClient.h"
#include "tests/support/TestFiles.h"
#include "tests/support/win32/ChildProcess.h"
#include "tests/support/win32/ServiceHarness.h"
#include "util/win32/Service.h"
#include "util/win32/ZintarDeviceClient.h"

using namespace ZintarTest;
using namespace ZintarUtil;
using namespace ZintarUtil::Pipe;
using ZintarClient::Filter;
using ZintarClient::PipeClient;
using ZintarClient::ServiceClient;
using ZintarClient::Settings;

namespace {

std::vector<std::string> Texts(const LogSnapshot& snapshot)
{
    std::vector<std::string> texts;
    for (const MessageRecord& record : snapshot.records)
        texts.emplace_back(record.message.text);
    return texts;
}

}  // namespace

TEST_F(InstalledService, InstallRunAnswerRestartStopMoveAndRemove)
{
    const std::string firstFolder = "C:\\zintar-test\\first";
    const std::string secondFolder = "C:\\zintar-test\\second";
    for (const std::string& folder : {firstFolder, secondFolder}) {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
    }

    SCOPED_TRACE("install with preset settings");
    SetSetting("MaxMessage", 100);
    SetSetting("DevicePollRate", 200);
    SetSetting("SaveRate", 300);
    SetSetting("LogFile", firstFolder + "\\Logs.dat");
    Install();
    ASSERT_TRUE(StartAndWait(kServiceName));
    EXPECT_EQ(SettingNumber("TypeFilter"), 0xFFFFFFFFu) << "a missing value is written with its default";

    SCOPED_TRACE("the device's messages reach the ring; a type without a flag does not");
    const LogMessage fromDevice[] = {DeviceMessage(1, 0, "Camera 1"), DeviceMessage(2, 9, "bad type"),
                                     DeviceMessage(3, 2, "Disk full")};
    ASSERT_EQ(device->Push(fromDevice, 3), 0u);
    ASSERT_TRUE(WaitForRing([](const LogSnapshot& s) { return s.header.messageCount == 2; }));
    EXPECT_EQ(Texts(ReadRing()), (std::vector<std::string>{"Disk full", "Camera 1"}));

    SCOPED_TRACE("every request, through the client library (the request table checks the fields)");
    {
        ServiceClient client;
        EXPECT_EQ(client.GetFileMapName(), kFileMapName);
        client.Ping();
        client.WriteMessage(DeviceMessage(4, 3, "From a client"));
        EXPECT_EQ(Texts(ReadRing()).front(), "From a client") << "a client's message is flushed before the reply";
        const Settings settings = client.GetSettings();
        EXPECT_EQ(std::tie(settings.maxMessage, settings.devicePollRate, settings.typeFilter, settings.saveRate),
                  std::make_tuple(100u, 200u, 0xFu, 300u));
        EXPECT_EQ(client.GetLogFileName(), firstFolder + "\\Logs.dat");
        EXPECT_EQ(client.GetDefaultLogFileName(), std::string(kInstallDirectory) + "\\Logs.dat");
        client.AddFilter({"Cam", true});
        client.AddFilter({"Disk", false});
        const std::vector<Filter> filters = client.ListFilters();
        ASSERT_EQ(filters.size(), 2u);
        EXPECT_EQ(std::tie(filters[0].text, filters[0].include), std::make_tuple(std::string("Cam"), true));

        SCOPED_TRACE("filters take effect at once for the next message");
        const LogMessage filtered[] = {DeviceMessage(5, 1, "Camera 2"), DeviceMessage(6, 1, "Fan")};
        ASSERT_EQ(device->Push(filtered, 2), 0u);
        ASSERT_TRUE(WaitForRing([](const LogSnapshot& s) { return s.header.messageCount == 4; }));
        EXPECT_EQ(Texts(ReadRing()).front(), "Camera 2");
        client.ClearFilters();
        EXPECT_TRUE(client.ListFilters().empty());

        SCOPED_TRACE("a new path and new settings restart the service");
        client.SetLogFileName(secondFolder + "\\Logs.dat");
        client.SetSettings({3, 100, 0b0111, 60});
    }
    // The restart stops the service a second after the request, moves the file, and opens it again
    // compacted to the new limit: the newest three messages are kept. No client maps the file
    // meanwhile (a mapping held across the restart would keep the service from resizing it): the
    // test waits for the moved file, then for the pipes, which come back once the file is open.
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(secondFolder + "\\Logs.dat"); }));
    ServiceClient().Ping();
    EXPECT_EQ(ReadRing().header.capacity, 3);
    EXPECT_EQ(Texts(ReadRing()), (std::vector<std::string>{"Camera 2", "From a client", "Disk full"}));
    EXPECT_FALSE(std::filesystem::exists(firstFolder + "\\Logs.dat"));
    EXPECT_EQ(ServiceState(kServiceName), DWORD{SERVICE_RUNNING}) << "a restart reports nothing to the manager";
    EXPECT_EQ(ServiceClient().GetSettings().typeFilter, 0b0111u);

    SCOPED_TRACE("stop: the file is marked stopped with no reader counted, the registry's own value kept");
    SetSetting("AnyUserMayChange", 1);  // as an administrator sets it, for the next start
    ASSERT_TRUE(StopAndWait(kServiceName));
    const std::string onDisk = ReadWholeFile(secondFolder + "\\Logs.dat");
    ASSERT_GE(onDisk.size(), sizeof(FileHeader));
    FileHeader header;
    std::memcpy(&header, onDisk.data(), sizeof header);
    EXPECT_EQ(header.serverRunning, 0);
    EXPECT_EQ(header.readCount, 0u);
    EXPECT_EQ(header.messageCount, 3);
    EXPECT_EQ(SettingText("LogFile"), secondFolder + "\\Logs.dat");
    EXPECT_EQ(SettingNumber("MaxMessage"), 3u);
    EXPECT_EQ(SettingNumber("TypeFilter"), 7u);
    EXPECT_EQ(SettingNumber("AnyUserMayChange"), 1u);

    SCOPED_TRACE("remove");
    const ProgramRun removal = RunInstalledServer("/REMOVE extra");
    EXPECT_EQ(removal.exitCode, 0u);
    EXPECT_EQ(removal.output, "Removing service ... removed\r\n");
    EXPECT_EQ(ServiceState(kServiceName), 0u);
    EXPECT_EQ(ServiceLog(), "") << "nothing went wrong";
}

TEST_F(InstalledService, ProgramEntryTextsAndExitCodes)
{
    const std::string hints = "To install : use the -install switch and run as administrator\r\n"
                              "To remove : use the -remove switch and run as administrator\r\n";
    const std::string unrecognized = "Unrecognized command line argument\r\nUse -install or -remove\r\n";
    struct Case {
        const char* arguments;
        std::uint32_t exitCode;
        std::string outputStart;
        std::string outputEnd;
    };
    const Case cases[] = {
        {"--install", 0, unrecognized, ""},
        {"install", 0, unrecognized, ""},
        {"-remove", 1, "Removing service ...\r\nAn error has occured : \r\nOpenService() failed - Error code : 1060",
         hints},
        {"", 1, "\r\nAn error has occured : \r\nStartServiceCtrlDispatcher() failed - Error code : 1063", hints},
        {"/install", 0, "Installing service ... installed\r\n", ""},
        {"-Install", 1,
         "Installing service ...\r\nAn error has occured : \r\nCreateService() failed - Error code : 1073", hints},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const ProgramRun run = RunInstalledServer(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.output.substr(0, c.outputStart.size()), c.outputStart);
        EXPECT_TRUE(run.output.size() >= c.outputEnd.size() &&
                    run.output.compare(run.output.size() - c.outputEnd.size(), c.outputEnd.size(), c.outputEnd) == 0)
            << run.output;
    }
}

TEST_F(InstalledService, FailuresAreWrittenToTheDiagnosticLog)
{
    SetSetting("DevicePollRate", 100);
    Install();

    SCOPED_TRACE("no driver at start (the service starts before it at boot): it runs, and takes the device "
                 "at the first poll that finds it");
    device.reset();
    ASSERT_TRUE(StopAndWait(kDriverServiceName));
    ASSERT_TRUE(StartAndWait(kServiceName));
    EXPECT_FALSE(ServiceClient().GetSettings().deviceOpen);
    EXPECT_NE(
        ServiceLog().find(" - Failed to get access to the Zintar device driver, CreateFile() failed. - Error code : 2"),
        std::string::npos)
        << ServiceLog();
    ASSERT_TRUE(StartAndWait(kDriverServiceName));
    device.emplace();
    const LogMessage first = DeviceMessage(0, 1, "after the driver came");
    ASSERT_EQ(device->Push(&first, 1), 0u);
    ASSERT_TRUE(WaitForRing([](const LogSnapshot& s) { return s.header.messageCount == 1; }));
    EXPECT_TRUE(ServiceClient().GetSettings().deviceOpen);
    const std::string log = ServiceLog();
    EXPECT_EQ(log.find("Failed to get access"), log.rfind("Failed to get access")) << "said once, not at each poll";
    EXPECT_NE(log.find("The Zintar device driver is available now"), std::string::npos) << log;
    ClearServiceLog();

    SCOPED_TRACE("a header that a foreign writer broke: the poll and a client's write fail and are logged");
    auto setCapacity = [](std::int32_t capacity) {
        const HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, kFileMapName);
        auto* header = static_cast<FileHeader*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(FileHeader)));
        header->capacity = capacity;
        UnmapViewOfFile(header);
        CloseHandle(mapping);
    };
    setCapacity(0);
    const LogMessage kept = DeviceMessage(1, 1, "kept in the queue");
    ASSERT_EQ(device->Push(&kept, 1), 0u);
    ASSERT_TRUE(
        WaitUntil([] { return ServiceLog().find("Exception thrown in timer callback : ") != std::string::npos; }));
    {
        PipeClient client;
        PipeRequest write = Request(kWriteMessage);
        write.SetMessage(kMessageOffset, DeviceMessage(2, 1, "also kept"));
        EXPECT_EQ(client.Call(write).code, kReplyFailed);
        EXPECT_EQ(client.Call(Request(kPing)).code, kReplyPing) << "the connection goes on after a handler failure";
    }
    EXPECT_NE(ServiceLog().find("Exception thrown in message handler : "), std::string::npos);

    SCOPED_TRACE("once the header is whole again, the next poll writes what waited, though nothing new came");
    setCapacity(50000);
    ASSERT_TRUE(WaitForRing([](const LogSnapshot& s) { return s.header.messageCount == 3; }));
    const LogMessage next = DeviceMessage(3, 1, "next");
    ASSERT_EQ(device->Push(&next, 1), 0u);
    ASSERT_TRUE(WaitForRing([](const LogSnapshot& s) { return s.header.messageCount == 4; }));
    SCOPED_TRACE("the driver stopped and started under the running service: its handle is opened anew");
    device.reset();
    ASSERT_TRUE(StopAndWait(kDriverServiceName));
    ASSERT_TRUE(StartAndWait(kDriverServiceName));
    device.emplace();
    const LogMessage afterRestart = DeviceMessage(4, 1, "after the driver restarted");
    ASSERT_EQ(device->Push(&afterRestart, 1), 0u);
    ASSERT_TRUE(WaitForRing([](const LogSnapshot& s) { return s.header.messageCount == 5; }));
    EXPECT_NE(ServiceLog().find("The Zintar device driver stopped answering (error 5)"), std::string::npos)
        << ServiceLog();
    const std::vector<std::string> stored{"after the driver restarted", "next", "also kept", "kept in the queue",
                                          "after the driver came"};
    EXPECT_EQ(Texts(ReadRing()), stored);

    SCOPED_TRACE("a header torn while the service was down: the start repairs the file and keeps every message");
    const std::string logFile = ServiceClient().GetDefaultLogFileName();
    ASSERT_TRUE(StopAndWait(kServiceName));
    std::fstream(logFile, std::ios::in | std::ios::out | std::ios::binary)
        .seekp(offsetof(FileHeader, capacity))
        .write("\xFF\xFF\xFF\xFF", 4);
    ClearServiceLog();
    ASSERT_TRUE(StartAndWait(kServiceName));
    EXPECT_EQ(Texts(ReadRing()), stored);
    EXPECT_NE(ServiceLog().find("Repaired the damaged log file " + logFile + ": kept 5 records, dropped 0"),
              std::string::npos)
        << ServiceLog();

    SCOPED_TRACE("LogFile naming a file of another program: left untouched, the log stays on the default path");
    ASSERT_TRUE(StopAndWait(kServiceName));
    const std::string foreign = std::string(kInstallDirectory) + "\\notes.txt";
    std::ofstream(foreign, std::ios::binary) << "an administrator's notes\r\n";
    SetSetting("LogFile", foreign);
    ASSERT_TRUE(StartAndWait(kServiceName));
    EXPECT_TRUE(ServiceClient().GetSettings().logFileFallback);
    EXPECT_EQ(Texts(ReadRing()), stored);
    EXPECT_EQ(ReadWholeFile(foreign), "an administrator's notes\r\n");
    EXPECT_NE(ServiceLog().find("is not a log file of this service; it was left untouched"), std::string::npos)
        << ServiceLog();
    std::remove(foreign.c_str());
}

TEST_F(InstalledService, HostileAndManyClientsAreServedWithoutLeaks)
{
    Install();
    ASSERT_TRUE(StartAndWait(kServiceName));
    const DWORD service = ServiceProcessId(kServiceName);
    const std::uint32_t threadsAtRest = ThreadCount(service);
    PipeClient client;

    SCOPED_TRACE("a record longer than 1028 bytes gets one reply 4, and the connection goes on");
    std::vector<std::uint8_t> tooLong(3000, 0);
    const std::uint32_t ping = kPing;
    std::memcpy(tooLong.data(), &ping, sizeof ping);
    ASSERT_TRUE(client.Send(tooLong.data(), tooLong.size()));
    PipeReply reply{};
    ASSERT_TRUE(client.Receive(reply));
    EXPECT_EQ(reply.code, kReplyTooLong);
    EXPECT_EQ(client.Call(Request(kPing)).code, kReplyPing);

    SCOPED_TRACE("unknown codes and a short record");
    EXPECT_EQ(client.Call(Request(0)).code, kReplyUnknown);
    EXPECT_EQ(client.Call(Request(99)).code, kReplyUnknown);
    const std::uint32_t shortPing[2] = {kPing, 0};
    ASSERT_TRUE(client.Send(shortPing, sizeof shortPing));
    ASSERT_TRUE(client.Receive(reply));
    EXPECT_EQ(reply.code, kReplyPing);

    SCOPED_TRACE("a client that leaves in the middle, and one that stays silent, block nobody");
    {
        PipeClient leaving;
        const PipeRequest ping = Request(kPing);
        ASSERT_TRUE(leaving.Send(&ping, sizeof ping));
    }
    PipeClient silent;
    ServiceClient().Ping();

    SCOPED_TRACE("64 clients at once");
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 64; ++i)
        clients.emplace_back([&] {
            try {
                PipeClient many(kRequestPipeName, kChildBound);
                for (int call = 0; call < 5; ++call)
                    answered += many.Call(Request(kPing)).code == kReplyPing ? 1 : 0;
            } catch (const std::exception&) {
            }
        });
    for (std::thread& thread : clients)
        thread.join();
    EXPECT_EQ(answered.load(), 64 * 5);

    SCOPED_TRACE("the silent client is let go after 10 s; every connection thread ends");
    EXPECT_FALSE(silent.Receive(reply));
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount(service) <= threadsAtRest + 1; })) << ThreadCount(service);
}
