#include "Server/win32/SettingsStore.h"

#include <windows.h>

#include <optional>

#include "Server/win32/RegistryKey.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/LogFileFormat.h"
#include "util/TextHelpers.h"
#include "util/ZintarNames.h"
#include "util/win32/UniqueResource.h"

namespace ZintarServer {

using ZintarUtil::InfiniteTimeout;
using ZintarUtil::Mutex;

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

std::uint32_t UsablePeriod(const char* name, std::uint32_t stored, bool usable, std::uint32_t defaultValue)
{
    if (usable)
        return stored;
    ZintarUtil::WriteLog(std::string(name) + " " + ZintarUtil::UIntToString(stored) +
                         " would keep its timer from pausing; using " + ZintarUtil::UIntToString(defaultValue) + ".");
    return defaultValue;
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

// A MaxMessage of 0 leaves no slot to write to, and one above 7,669,584 gives a file length
// beyond 32 bits. Such a value (a typing error in the registry) neither stops the service nor
// shrinks its log: the log file found keeps its capacity (a new one gets the default), the
// diagnostic log says so, and the next stop saves the value used.
std::uint32_t UsableMaxMessage(std::uint32_t stored, const std::string& logFile)
{
    if (ZintarUtil::IsStorableCapacity(stored))
        return stored;
    const std::uint32_t kept = CapacityOfFileAt(logFile).value_or(kDefaultMaxMessage);
    ZintarUtil::WriteLog("MaxMessage " + ZintarUtil::UIntToString(stored) + " is outside 1 to " +
                         ZintarUtil::UIntToString(ZintarUtil::kMaxCapacity) + "; using " +
                         ZintarUtil::UIntToString(kept) + ".");
    return kept;
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
    settings.maxMessage = UsableMaxMessage(ReadNumber(key, "MaxMessage", kDefaultMaxMessage), settings.logFile);
    settings.requestedMaxMessage = settings.maxMessage;
    const std::uint32_t pollRate = ReadNumber(key, "DevicePollRate", kDefaultDevicePollRate);
    settings.devicePollRate =
        UsablePeriod("DevicePollRate", pollRate, IsUsablePollRate(pollRate), kDefaultDevicePollRate);
    const std::uint32_t saveRate = ReadNumber(key, "SaveRate", kDefaultSaveRate);
    settings.saveRate = UsablePeriod("SaveRate", saveRate, IsUsableSaveRate(saveRate), kDefaultSaveRate);
    ZintarUtil::MaskToFlags(ReadNumber(key, "TypeFilter", kDefaultTypeFilter), settings.typeEnabled, kMessageTypes);
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
    key.WriteData("MaxMessage", settings.requestedMaxMessage);
    key.WriteData("DevicePollRate", settings.devicePollRate);
    key.WriteData("SaveRate", settings.saveRate);
    std::uint32_t typeFilter = 0;
    ZintarUtil::FlagsToMask(typeFilter, settings.typeEnabled, kMessageTypes);
    key.WriteData("TypeFilter", typeFilter);
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
