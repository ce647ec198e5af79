// The real service under Wine's service control manager: installed from the build into a folder
// of its own (with a space in its path), its registry settings preset, started, stopped and
// removed through the manager, and looked at through its ring and its diagnostic log.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "util/PipeRecords.h"
#include "util/win32/LogFileReader.h"
#include "util/win32/ZintarDeviceClient.h"

namespace ZintarTest {

inline constexpr char kDriverServiceName[] = "ZintarDriver";
inline constexpr char kInstallDirectory[] = "C:\\Program Files\\Tervan Log Server Test";

// A Linux path handed in through the environment, as Wine shows it (drive Z: is the root).
std::string WindowsPathOf(const char* path);

// The built ZintarServer.exe (named by ZINTAR_SERVER_EXE), copied into kInstallDirectory.
void CopyServerIntoPlace();

struct ProgramRun {
    std::optional<std::uint32_t> exitCode;  // nothing when it did not end in time
    std::string output;                     // standard output and error together
};
ProgramRun RunInstalledServer(const std::string& arguments);

// The settings key, emptied; and single values in it.
void ClearSettings();
void SetSetting(const std::string& name, std::uint32_t value);
void SetSetting(const std::string& name, const std::string& value);
std::uint32_t SettingNumber(const std::string& name);
std::string SettingText(const std::string& name);

// The state the manager reports (SERVICE_RUNNING, ...), or 0 when the service does not exist.
// What the manager says of the service; all zero when it is not installed.
SERVICE_STATUS ServiceStatus(const char* name);
DWORD ServiceState(const char* name);
// The service-specific exit code of its last report (0 while running or after a clean stop).
DWORD ServiceExitCode(const char* name);
// Asks the manager to start `name`, without waiting.
void RequestStart(const char* name);
// Starts or stops `name` (a start or stop under way waited out first) and waits, at most 30 s,
// for RUNNING or STOPPED; false when it did not come, or a start ended in STOPPED.
bool StartAndWait(const char* name);
bool StopAndWait(const char* name);
// The process of a running service, and how many threads it has.
DWORD ServiceProcessId(const char* name);
std::uint32_t ThreadCount(DWORD processId);

// The service's diagnostic log (it runs in the Windows directory), and a way to start it afresh.
std::string ServiceLog();
void ClearServiceLog();

ZintarUtil::PipeRequest Request(std::uint32_t code);
ZintarUtil::PipeRequest TextRequest(std::uint32_t code, const std::string& text);

// A snapshot of the shared ring under the reading protocol, the mapping let go again at once.
ZintarUtil::LogSnapshot ReadRing();
// Polls until `done` holds or `bound` ms pass; the ring's variant counts a ring not shared as not done.
bool WaitUntil(const std::function<bool()>& done, DWORD bound = 30000);
bool WaitForRing(const std::function<bool(const ZintarUtil::LogSnapshot&)>& done);

// Messages of one test get increasing seconds, so that their time order is their order of sending.
ZintarUtil::LogMessage DeviceMessage(std::int16_t second, std::uint32_t type, const std::string& text);

// Each test begins with the service absent, its settings and diagnostic log empty, the driver
// loaded and drained; it ends with the service removed and the driver loaded again.
class InstalledService : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // ZintarServer.exe -install, which must succeed.
    void Install();

    std::optional<ZintarUtil::ZintarDeviceClient> device;
};

}  // namespace ZintarTest
