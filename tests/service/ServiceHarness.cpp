#include "ServiceHarness.h"

#include <tlhelp32.h>

#include <cstdlib>
#include <filesystem>

#include "ChildProcess.h"
#include "TestFiles.h"

namespace ZintarTest {

namespace {

constexpr char kSettingsKey[] = "SOFTWARE\\Morventa TORVI\\Tervan Log Server";
constexpr std::uint32_t kPollPause = 50;

// A Linux path handed in through the environment, as Wine shows it (drive Z: is the root).
std::string WindowsPath(std::string path)
{
    if (!path.empty() && path[0] == '/') {
        for (char& c : path)
            c = c == '/' ? '\\' : c;
        path = "Z:" + path;
    }
    return path;
}

class ScmHandle {
public:
    explicit ScmHandle(SC_HANDLE handle) : handle(handle) {}
    ScmHandle(const ScmHandle&) = delete;
    ScmHandle& operator=(const ScmHandle&) = delete;
    ~ScmHandle()
    {
        if (handle != nullptr)
            CloseServiceHandle(handle);
    }
    SC_HANDLE Get() const { return handle; }

private:
    SC_HANDLE handle;
};

ScmHandle OpenNamedService(const char* name)
{
    ScmHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return ScmHandle(manager.Get() ? OpenServiceA(manager.Get(), name, SERVICE_ALL_ACCESS) : nullptr);
}

HKEY OpenSettings()
{
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

std::string LogPath(bool systemDirectory)
{
    char directory[MAX_PATH] = {};
    if (systemDirectory)
        GetSystemDirectoryA(directory, MAX_PATH);
    else
        GetWindowsDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\ZintarServiceLog.txt";
}

}  // namespace

void CopyServerIntoPlace()
{
    const char* built = std::getenv("ZINTAR_SERVER_EXE");
    CreateDirectoryA(kInstallDirectory, nullptr);
    DeleteFileA((std::string(kInstallDirectory) + "\\Logs.dat").c_str());  // a log left by an earlier test
    if (!CopyFileA(WindowsPath(built != nullptr ? built : "ZintarServer.exe").c_str(), kInstalledServer, FALSE))
        throw std::runtime_error("cannot copy ZintarServer.exe: " + std::to_string(GetLastError()));
}

ProgramRun RunInstalledServer(const std::string& arguments)
{
    const std::string output = TemporaryPath("server-output");
    ProgramRun run;
    {
        ChildProcess program(CommandLine{"\"" + std::string(kInstalledServer) + "\" " + arguments, output});
        run.exitCode = program.WaitForExit(kChildBound);
    }
    run.output = ReadWholeFile(output);
    DeleteFileA(output.c_str());
    return run;
}

void ClearSettings()
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSettingsKey);
}

void SetSetting(const std::string& name, std::uint32_t value)
{
    HKEY key = OpenSettings();
    RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
}

void SetSetting(const std::string& name, const std::string& value)
{
    HKEY key = OpenSettings();
    RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

std::uint32_t SettingNumber(const std::string& name)
{
    DWORD value = 0xDEADBEEF;
    DWORD size = sizeof value;
    RegGetValueA(HKEY_LOCAL_MACHINE, kSettingsKey, name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

std::string SettingText(const std::string& name)
{
    char text[1024] = {};
    DWORD size = sizeof text;
    RegGetValueA(HKEY_LOCAL_MACHINE, kSettingsKey, name.c_str(), RRF_RT_REG_SZ, nullptr, text, &size);
    return text;
}

DWORD ServiceState(const char* name)
{
    ScmHandle service = OpenNamedService(name);
    SERVICE_STATUS status{};
    if (service.Get() == nullptr || !QueryServiceStatus(service.Get(), &status))
        return 0;
    return status.dwCurrentState;
}

bool WaitForServiceState(const char* name, DWORD state)
{
    return WaitUntil([&] { return ServiceState(name) == state; });
}

bool StartAndWait(const char* name)
{
    ScmHandle service = OpenNamedService(name);
    StartServiceA(service.Get(), 0, nullptr);
    return WaitForServiceState(name, SERVICE_RUNNING);
}

bool StopAndWait(const char* name)
{
    ScmHandle service = OpenNamedService(name);
    SERVICE_STATUS status{};
    ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    return WaitForServiceState(name, SERVICE_STOPPED);
}

DWORD ServiceProcessId(const char* name)
{
    ScmHandle service = OpenNamedService(name);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed))
        return 0;
    return status.dwProcessId;
}

std::uint32_t ThreadCount(DWORD processId)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
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
    request.SetText(ZintarUtil::kTextOffset, ZintarUtil::kPathFieldSize, text);
    return request;
}

ZintarUtil::LogSnapshot ReadRing()
{
    ZintarUtil::LogFileReader reader(ZintarUtil::kFileMapName);
    return reader.ReadSnapshot();
}

bool WaitForRing(const std::function<bool(const ZintarUtil::LogSnapshot&)>& done)
{
    return WaitUntil([&] {
        try {
            return done(ReadRing());
        } catch (const std::exception&) {
            return false;  // not shared at this moment (the service is restarting)
        }
    });
}

bool WaitUntil(const std::function<bool()>& done)
{
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > kServiceBound)
            return false;
        Sleep(kPollPause);
    }
    return true;
}

void MakeEmptyDirectory(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
    std::filesystem::create_directories(path, ignored);
}

}  // namespace ZintarTest
