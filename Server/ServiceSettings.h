// The service's settings as it holds them in memory, guarded by the service's settingsMutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/LogFileFormat.h"

namespace ZintarServer {

constexpr std::uint32_t kDefaultMaxMessage = 50000;
constexpr std::uint32_t kDefaultDevicePollRate = 1000;  // milliseconds
constexpr std::uint32_t kDefaultSaveRate = 300;         // seconds
constexpr std::uint32_t kDefaultTypeFilter = 0xFFFFFFFF;
using ZintarUtil::kMessageTypes;

// The longest timer period: waits of 2^31 ms and more are not waits on every system, and a save
// rate whose product with 1000 passes 32 bits would wrap to a short period.
constexpr std::uint32_t kMaxPeriod = 0x7FFFFFFF;           // milliseconds
constexpr std::uint32_t kMaxSaveRate = kMaxPeriod / 1000;  // seconds
// The longest LogFile value a start can read back from the registry (a 256-byte buffer).
constexpr std::size_t kMaxLogFilePathLength = 255;

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

// Why SetSettings refuses these values, or nothing when they can work (a MaxMessage of 0 can: it
// becomes 1). Values refused here would stop timers from pausing, or lose stored messages at the
// next start.
std::optional<std::string> RefusalOfSettings(std::uint32_t maxMessage, std::uint32_t devicePollRate,
                                             std::uint32_t saveRate);
// Why SetLogFileName refuses `path` for its text alone (empty, or longer than a start can read
// back), or nothing; what the file system says of it is the service's to ask.
std::optional<std::string> RefusalOfLogFilePath(const std::string& path);

// Sorts one value of the Filters key into the lists: 'i' first makes an include filter, any other
// first character an exclude filter; the rest is the filter text. An empty value is skipped.
void AddStoredFilter(ServiceSettings& settings, const std::string& value);

}  // namespace ZintarServer
