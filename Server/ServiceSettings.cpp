#include "Server/ServiceSettings.h"

#include "util/LogFileFormat.h"

namespace ZintarServer {

bool IsUsablePollRate(std::uint32_t milliseconds)
{
    return milliseconds >= 1 && milliseconds <= kMaxPeriod;
}

bool IsUsableSaveRate(std::uint32_t seconds)
{
    return seconds >= 1 && seconds <= kMaxSaveRate;
}

std::optional<std::string> RefusalOfSettings(std::uint32_t maxMessage, std::uint32_t devicePollRate,
                                             std::uint32_t saveRate)
{
    if (maxMessage > ZintarUtil::kMaxCapacity)
        return "MaxMessage " + std::to_string(maxMessage) + " is above the largest log file, " +
               std::to_string(ZintarUtil::kMaxCapacity) + " messages";
    if (!IsUsablePollRate(devicePollRate))
        return "DevicePollRate " + std::to_string(devicePollRate) + " is outside 1 to " + std::to_string(kMaxPeriod) +
               " ms";
    if (!IsUsableSaveRate(saveRate))
        return "SaveRate " + std::to_string(saveRate) + " is outside 1 to " + std::to_string(kMaxSaveRate) + " s";
    return std::nullopt;
}

std::optional<std::string> RefusalOfLogFilePath(const std::string& path)
{
    if (path.empty())
        return "the log file's path is empty";
    if (path.size() > kMaxLogFilePathLength)
        return "the log file's path has " + std::to_string(path.size()) + " characters, more than the " +
               std::to_string(kMaxLogFilePathLength) + " that the service can read back at its start";
    return std::nullopt;
}

void AddStoredFilter(ServiceSettings& settings, const std::string& value)
{
    if (value.empty())
        return;
    std::vector<std::string>& list = value[0] == 'i' ? settings.includeFilters : settings.excludeFilters;
    list.push_back(value.substr(1));
}

}  // namespace ZintarServer
