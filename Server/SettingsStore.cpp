#include "SettingsStore.h"

#include "DiagnosticLog.h"
#include "LogFileFormat.h"
#include "RegistryKey.h"
#include "TextHelpers.h"

namespace ZintarServer {

using ZintarUtil::InfiniteTimeout;
using ZintarUtil::Mutex;

namespace {

// A MaxMessage of 0 leaves no slot to write to, and one above 7,669,584 gives a file length
// beyond 32 bits. Such a value (a typing error in the registry) is not allowed to stop the
// service: the default takes its place, the diagnostic log says so, and the corrected value is
// what the next stop saves.
std::uint32_t UsableMaxMessage(std::uint32_t stored)
{
    if (ZintarUtil::IsStorableCapacity(stored))
        return stored;
    ZintarUtil::WriteLog("MaxMessage " + ZintarUtil::UIntToString(stored) + " is outside 1 to " +
                         ZintarUtil::UIntToString(ZintarUtil::kMaxCapacity) + "; using " +
                         ZintarUtil::UIntToString(kDefaultMaxMessage) + ".");
    return kDefaultMaxMessage;
}

}  // namespace

void LoadSettings(ServiceSettings& settings, Mutex& settingsMutex)
{
    RegistryKey key(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    Mutex::Access access(settingsMutex, InfiniteTimeout);
    settings.logFile = key.ReadData("LogFile", ZintarUtil::GetExecutableRelativePath("Logs.dat"));
    settings.maxMessage = UsableMaxMessage(key.ReadData("MaxMessage", kDefaultMaxMessage));
    settings.requestedMaxMessage = settings.maxMessage;
    settings.devicePollRate = key.ReadData("DevicePollRate", kDefaultDevicePollRate);
    settings.saveRate = key.ReadData("SaveRate", kDefaultSaveRate);
    ZintarUtil::MaskToFlags(key.ReadData("TypeFilter", kDefaultTypeFilter), settings.typeEnabled, kMessageTypes);

    RegistryKey filters(HKEY_LOCAL_MACHINE, kFiltersKeyPath);
    settings.includeFilters.clear();
    settings.excludeFilters.clear();
    std::string value;
    while (filters.NextValue(value))
        AddStoredFilter(settings, value);
}

void SaveSettings(const ServiceSettings& settings, Mutex& settingsMutex)
{
    RegistryKey key(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    Mutex::Access access(settingsMutex, InfiniteTimeout);
    key.WriteData("LogFile", settings.logFile);
    key.WriteData("MaxMessage", settings.requestedMaxMessage);
    key.WriteData("DevicePollRate", settings.devicePollRate);
    key.WriteData("SaveRate", settings.saveRate);
    std::uint32_t typeFilter = 0;
    ZintarUtil::FlagsToMask(typeFilter, settings.typeEnabled, kMessageTypes);
    key.WriteData("TypeFilter", typeFilter);

    key.DeleteSubKey("Filters");
    RegistryKey filters(HKEY_LOCAL_MACHINE, kFiltersKeyPath);
    std::int32_t n = 0;
    for (const std::string& entry : settings.includeFilters)
        filters.WriteData("Filters" + ZintarUtil::IntToString(n++), "i" + entry);
    for (const std::string& entry : settings.excludeFilters)
        filters.WriteData("Filters" + ZintarUtil::IntToString(n++), "e" + entry);
}

}  // namespace ZintarServer
