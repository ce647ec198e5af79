#include "tests/support/win32/ServiceHarness.h"

#include <tlhelp32.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "tests/support/TestFiles.h"
#include "tests/support/win32/ChildProcess.h"
#include "util/win32/ServiceDrive.h"

namespace ZintarTest {

namespace {

using ZintarUtil::Services::DriveOutcome;
using ZintarUtil::Services::DriveService;
using ZintarUtil::Services::ServiceRequest;

constexpr DWORD kServiceBound = 30000;  // ms for a start or a stop

using ScmHandle = std::unique_ptr<SC_HANDLE__, decltype(&CloseServiceHandle)>;

ScmHandle OpenNamedService(const char* name)
{
    const ScmHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), &CloseServiceHandle);
    return ScmHandle(OpenServiceA(manager.get(), name, SERVICE_ALL_ACCESS), &CloseServiceHandle);
}

std::string LogPath(bool systemDirectory)
{
    char directory[MAX_PATH] = {};
    systemDirectory ? GetSystemDirectoryA(directory, MAX_PATH) : GetWindowsDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\ZintarServiceLog.txt";
}

void SetValue(const std::string& name, DWORD type, const void* data, DWORD size)
{
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, ZintarUtil::kSettingsKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    RegSetValueExA(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

}  // namespace

std::string WindowsPathOf(const char* path)
{
    std::string windows = path != nullptr ? path : "";
    if (!windows.empty() && windows[0] == '/') {
        for (char& c : windows)
            c = c == '/' ? '\\' : c;
        windows = "Z:" + windows;
    }
    return windows;
}

void CopyServerIntoPlace()
{
    const std::string built = WindowsPathOf(std::getenv("ZINTAR_SERVER_EXE"));
    const std::string directory = kInstallDirectory;
    CreateDirectoryA(directory.c_str(), nullptr);
    DeleteFileA((directory + "\\Logs.dat").c_str());  // a log left by an earlier test
    if (!CopyFileA(built.c_str(), (directory + "\\ZintarServer.exe").c_str(), FALSE))
        throw std::runtime_error("cannot copy ZintarServer.exe: " + std::to_string(GetLastError()));
}

ProgramRun RunInstalledServer(const std::string& arguments)
{
    const TemporaryFile output("server-output");
    ProgramRun run;
    {
        ChildProcess program(
            CommandLine{"\"" + std::string(kInstallDirectory) + "\\ZintarServer.exe\" " + arguments, output.path});
        run.exitCode = program.WaitForExit(kChildBound);
    }
    run.output = ReadWholeFile(output.path);
    return run;
}

void ClearSettings()
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, ZintarUtil::kSettingsKeyPath);
}

void SetSetting(const std::string& name, std::uint32_t value)
{
    SetValue(name, REG_DWORD, &value, sizeof value);
}

void SetSetting(const std::string& name, const std::string& value)
{
    SetValue(name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

std::uint32_t SettingNumber(const std::string& name)
{
    DWORD value = 0xDEADBEEF;
    DWORD size = sizeof value;
    RegGetValueA(HKEY_LOCAL_MACHINE, ZintarUtil::kSettingsKeyPath, name.c_str(), RRF_RT_REG_DWORD, nullptr, &value,
                 &size);
    return value;
}

std::string SettingText(const std::string& name)
{
    char text[1024] = {};
    DWORD size = sizeof text;
    RegGetValueA(HKEY_LOCAL_MACHINE, ZintarUtil::kSettingsKeyPath, name.c_str(), RRF_RT_REG_SZ, nullptr, text, &size);
    return text;
}

SERVICE_STATUS ServiceStatus(const char* name)
{
    const ScmHandle service = OpenNamedService(name);
    SERVICE_STATUS status{};
    if (!service || !QueryServiceStatus(service.get(), &status))
        status = {};
    return status;
}

DWORD ServiceState(const char* name)
{
    return ServiceStatus(name).dwCurrentState;
}

DWORD ServiceExitCode(const char* name)
{
    return ServiceStatus(name).dwServiceSpecificExitCode;
}

void RequestStart(const char* name)
{
    StartServiceA(OpenNamedService(name).get(), 0, nullptr);
}

bool StartAndWait(const char* name)
{
    return DriveService(name, ServiceRequest::Start, kServiceBound).end == DriveOutcome::End::Reached;
}

bool StopAndWait(const char* name)
{
    return DriveService(name, ServiceRequest::Stop, kServiceBound).end == DriveOutcome::End::Reached;
}

DWORD ServiceProcessId(const char* name)
{
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    QueryServiceStatusEx(OpenNamedService(name).get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof status, &needed);
    return status.dwProcessId;
}

std::uint32_t ThreadCount(DWORD processId)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{sizeof entry};
    std::uint32_t count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == processId ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

std::string ServiceLog()
{
    return ReadWholeFile(LogPath(false)) + ReadWholeFile(LogPath(true));
}

void ClearServiceLog()
{
    DeleteFileA(LogPath(false).c_str());
    DeleteFileA(LogPath(true).c_str());
}

ZintarUtil::PipeRequest Request(std::uint32_t code)
{
    ZintarUtil::PipeRequest request{};
    request.code = code;
    return request;
}

ZintarUtil::PipeRequest TextRequest(std::uint32_t code, const std::string& text)
{
    ZintarUtil::PipeRequest request = Request(code);
    request.SetText(ZintarUtil::Pipe::kTextOffset, ZintarUtil::Pipe::kPathFieldSize, text);
    return request;
}

ZintarUtil::LogSnapshot ReadRing()
{
    return ZintarUtil::LogFileReader(ZintarUtil::kFileMapName).ReadSnapshot();
}

bool WaitUntil(const std::function<bool()>& done, DWORD bound)
{
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > bound)
            return false;
        Sleep(50);
    }
    return true;
}

bool WaitForRing(const std::function<bool(const ZintarUtil::LogSnapshot&)>& done)
{
    return WaitUntil([&] {
        try {
            return done(ReadRing());
        } catch (const std::exception&) {
            return false;  // not shared at this moment
        }
    });
}

ZintarUtil::LogMessage DeviceMessage(std::int16_t second, std::uint32_t type, const std::string& text)
{
    ZintarUtil::LogMessage message{};
    message.timeStamp = {2026, 12, 6, 10, 0, second, 0, 0};
    message.type = type;
    std::strncpy(message.text, text.c_str(), sizeof message.text - 1);
    return message;
}

void InstalledService::SetUp()
{
    ClearServiceLog();
    ClearSettings();
    CopyServerIntoPlace();
    device.emplace();
    ZintarUtil::LogMessage drained;
    while (device->ReadMessage(drained)) {
    }
}

void InstalledService::TearDown()
{
    if (ServiceState(ZintarUtil::kServiceName) == SERVICE_RUNNING)
        StopAndWait(ZintarUtil::kServiceName);
    if (ServiceState(ZintarUtil::kServiceName) != 0)
        RunInstalledServer("-remove");
    if (ServiceState(kDriverServiceName) != SERVICE_RUNNING)
        StartAndWait(kDriverServiceName);
}

void InstalledService::Install()
{
    const ProgramRun run = RunInstalledServer("-INSTALL");
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    // Wine refuses a part of the failure actions, and the console says so.
    ASSERT_EQ(run.output.rfind("Installing service ... installed\r\n", 0), 0u) << run.output;
}

}  // namespace ZintarTest
