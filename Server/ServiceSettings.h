// The service's settings as it holds them in memory, guarded by the service's settingsMutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/LogFileFormat.h"
#include "util/ServiceSettingsTable.h"

namespace ZintarServer {

using ZintarUtil::kMaxPeriod;
using ZintarUtil::kMaxSaveRate;
using ZintarUtil::kMessageTypes;

// The longest LogFile value a start can read back from the registry.
using ZintarUtil::kMaxLogFilePathLength;

struct ServiceSettings {
    std::uint32_t maxMessage = 0;  // the live limit: slots of the log file, length of the queue
    std::uint32_t devicePollRate = 0;
    std::vector<std::string> includeFilters;
    std::vector<std::string> excludeFilters;
    bool typeEnabled[kMessageTypes] = {};
    std::uint32_t saveRate = 0;
    std::string logFile;
    std::uint32_t requestedMaxMessage = 0;  // what the pipe reports and changes; saved at stop
    // The file the running log store uses: `logFile` unless that could not be used at the start,
    // when it is the default path and `logFileFallback` is set. Neither is stored.
    std::string logFileInUse;
    bool logFileFallback = false;
    // Any local user may change settings, filters and the log file's place, not only
    // administrators: the registry value AnyUserMayChange, 1 (0, the default, keeps it to them).
    bool anyUserMayChange = false;
    // Every account may open the mapping, the lock, the events and the pipes only with the rights
    // a client needs (no WRITE_DAC, WRITE_OWNER, DELETE, no new pipe instance); LocalSystem and
    // the Administrators keep all: the registry value StrictClientAccess, 1 (0, the default,
    // grants every account what it always had).
    bool strictClientAccess = false;
};

bool IsUsablePollRate(std::uint32_t milliseconds);
bool IsUsableSaveRate(std::uint32_t seconds);

// What GetSettings reports of `settings`: the requested limit, the types as a mask, the log file
// in use (the device's state is the service's to add).
ZintarUtil::PipeSettings ReportedSettings(const ServiceSettings& settings);
// Takes the numbers of `numbers` as SetSettings changes them: the requested limit, the periods
// and the types.
void TakeSettings(ServiceSettings& settings, const ZintarUtil::PipeSettings& numbers);

// Why SetSettings refuses these values, or nothing when they can work (a MaxMessage of 0 can: it
// becomes 1). Values refused here would stop timers from pausing, or lose stored messages at the
// next start.
std::optional<std::string> RefusalOfSettings(const ZintarUtil::PipeSettings& numbers);
// Why SetLogFileName refuses `path` for its text alone (empty, or longer than a start can read
// back), or nothing; what the file system says of it is the service's to ask.
std::optional<std::string> RefusalOfLogFilePath(const std::string& path);

// Sorts one value of the Filters key into the lists: 'i' first makes an include filter, any other
// first character an exclude filter; the rest is the filter text. An empty value is skipped.
void AddStoredFilter(ServiceSettings& settings, const std::string& value);

}  // namespace ZintarServer
