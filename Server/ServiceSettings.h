// The service's settings as it holds them in memory, guarded by the service's settingsMutex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ZintarServer {

constexpr std::uint32_t kDefaultMaxMessage = 50000;
constexpr std::uint32_t kDefaultDevicePollRate = 1000;  // milliseconds
constexpr std::uint32_t kDefaultSaveRate = 300;         // seconds
constexpr std::uint32_t kDefaultTypeFilter = 0xFFFFFFFF;
constexpr std::uint32_t kMessageTypes = 4;

struct ServiceSettings {
    std::uint32_t maxMessage = 0;  // the live limit: slots of the log file, length of the queue
    std::uint32_t devicePollRate = 0;
    std::vector<std::string> includeFilters;
    std::vector<std::string> excludeFilters;
    bool typeEnabled[kMessageTypes] = {};
    std::uint32_t saveRate = 0;
    std::string logFile;
    std::uint32_t requestedMaxMessage = 0;  // what the pipe reports and changes; saved at stop
};

// Sorts one value of the Filters key into the lists: 'i' first makes an include filter, any other
// first character an exclude filter; the rest is the filter text. An empty value is skipped.
void AddStoredFilter(ServiceSettings& settings, const std::string& value);

}  // namespace ZintarServer
