#include "Server/win32/SettingsStore.h"

#include <windows.h>

#include <optional>

#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/LogFileFormat.h"
#include "util/TextHelpers.h"
#include "util/ZintarNames.h"
#include "util/win32/RegistryKey.h"
#include "util/win32/UniqueResource.h"

namespace ZintarServer {

using ZintarUtil::InfiniteTimeout;
using ZintarUtil::Mutex;
using ZintarUtil::PipeSettings;
using ZintarUtil::SettingKind;
using ZintarUtil::SettingRow;

namespace {

// A value a start cannot use never keeps the service from running: the diagnostic log names it,
// a usable value takes its place, and the next stop saves that value back.
std::uint32_t ReadNumber(RegistryKey& key, const char* name, std::uint32_t defaultValue)
{
    try {
        return key.ReadData(name, defaultValue);
    } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
        ZintarUtil::WriteLog(std::string(name) + " cannot be read, using " + ZintarUtil::UIntToString(defaultValue) +
                             " : " + e.GetFullMessage("\n"));
        return defaultValue;
    }
}

// The capacity of the log file at `path` when it holds a plausible header, read without mapping
// it; nothing otherwise.
std::optional<std::uint32_t> CapacityOfFileAt(const std::string& path)
{
    const ZintarUtil::UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::nullopt;
    ZintarUtil::FileHeader header{};
    DWORD read = 0;
    const bool complete = ReadFile(file.Get(), &header, sizeof header, &read, nullptr) && read == sizeof header;
    if (!complete || header.capacity <= 0 ||
        !ZintarUtil::IsStorableCapacity(static_cast<std::uint32_t>(header.capacity)))
        return std::nullopt;
    return static_cast<std::uint32_t>(header.capacity);
}

// A setting outside its bounds is a typing error in the registry: the diagnostic log says so and
// the setting's default takes its place, except for MaxMessage. A MaxMessage of 0 leaves no slot
// to write to, and one above 7,669,584 gives a file length beyond 32 bits; such a value neither
// stops the service nor shrinks its log: the log file found keeps its capacity (a new one gets
// the default).
std::uint32_t UsableValue(const SettingRow& row, std::uint32_t stored, const std::string& logFile)
{
    if (IsWithinBounds(row, stored))
        return stored;
    const std::uint32_t used = row.field == &PipeSettings::maxMessage
                                   ? CapacityOfFileAt(logFile).value_or(row.defaultValue)
                                   : row.defaultValue;
    const std::string why = row.kind == SettingKind::Period ? " would keep its timer from pausing"
                                                            : " is outside " + ZintarUtil::UIntToString(row.lowest) +
                                                                  " to " + ZintarUtil::UIntToString(row.highest);
    ZintarUtil::WriteLog(std::string(row.registryName) + " " + ZintarUtil::UIntToString(stored) + why + "; using " +
                         ZintarUtil::UIntToString(used) + ".");
    return used;
}

// Anything but 0 and 1 is a typing error: the safer reading keeps changes to administrators.
bool AnyUserMayChange(std::uint32_t stored)
{
    if (stored > 1)
        ZintarUtil::WriteLog("AnyUserMayChange " + ZintarUtil::UIntToString(stored) +
                             " is neither 0 nor 1; only administrators may change the settings.");
    return stored == 1;
}

// Anything but 0 and 1 is a typing error: the safer reading is the strict one.
bool StrictClientAccess(std::uint32_t stored)
{
    if (stored > 1)
        ZintarUtil::WriteLog("StrictClientAccess " + ZintarUtil::UIntToString(stored) +
                             " is neither 0 nor 1; every account gets only what a client needs.");
    return stored != 0;
}

}  // namespace

void LoadSettings(ServiceSettings& settings, Mutex& settingsMutex)
{
    RegistryKey key(HKEY_LOCAL_MACHINE, ZintarUtil::kSettingsKeyPath);
    Mutex::Access access(settingsMutex, InfiniteTimeout);
    const std::string defaultLogFile = ZintarUtil::GetExecutableRelativePath("Logs.dat");
    settings.logFileFallback = false;
    try {
        settings.logFile = key.ReadData("LogFile", defaultLogFile);
    } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
        // Unreadable (longer than a start can read): the default takes its place, and the stop
        // writes the default back, which repairs the value.
        ZintarUtil::WriteLog("LogFile cannot be read, using " + defaultLogFile + " : " + e.GetFullMessage("\n"));
        settings.logFile = defaultLogFile;
        settings.logFileFallback = true;
    }
    PipeSettings numbers;
    for (const SettingRow& row : ZintarUtil::kSettingRows)
        numbers.*row.field = UsableValue(row, ReadNumber(key, row.registryName, row.defaultValue), settings.logFile);
    TakeSettings(settings, numbers);
    settings.maxMessage = settings.requestedMaxMessage;
    settings.anyUserMayChange = AnyUserMayChange(ReadNumber(key, "AnyUserMayChange", 0));
    settings.strictClientAccess = StrictClientAccess(ReadNumber(key, "StrictClientAccess", 0));

    RegistryKey filters(HKEY_LOCAL_MACHINE, ZintarUtil::kFiltersKeyPath);
    settings.includeFilters.clear();
    settings.excludeFilters.clear();
    std::string value;
    while (filters.NextValue(value))
        AddStoredFilter(settings, value);
}

void SaveSettings(const ServiceSettings& settings, Mutex& settingsMutex)
{
    RegistryKey key(HKEY_LOCAL_MACHINE, ZintarUtil::kSettingsKeyPath);
    Mutex::Access access(settingsMutex, InfiniteTimeout);
    key.WriteData("LogFile", settings.logFile);
    const PipeSettings numbers = ReportedSettings(settings);
    for (const SettingRow& row : ZintarUtil::kSettingRows)
        key.WriteData(row.registryName, numbers.*row.field);
    // Only an administrator sets it, in the registry, for the next start: the stop keeps what is
    // there now (and writes the default where there is none), not what this run started with.
    key.WriteData("AnyUserMayChange", ReadNumber(key, "AnyUserMayChange", 0));
    key.WriteData("StrictClientAccess", ReadNumber(key, "StrictClientAccess", 0));

    key.DeleteSubKey("Filters");
    RegistryKey filters(HKEY_LOCAL_MACHINE, ZintarUtil::kFiltersKeyPath);
    std::int32_t n = 0;
    for (const std::string& entry : settings.includeFilters)
        filters.WriteData("Filters" + ZintarUtil::IntToString(n++), "i" + entry);
    for (const std::string& entry : settings.excludeFilters)
        filters.WriteData("Filters" + ZintarUtil::IntToString(n++), "e" + entry);
}

}  // namespace ZintarServer
