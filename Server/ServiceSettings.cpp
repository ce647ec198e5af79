#include "Server/ServiceSettings.h"

#include "util/LogFileFormat.h"
#include "util/TextHelpers.h"

namespace ZintarServer {

using ZintarUtil::PipeSettings;
using ZintarUtil::RowOf;
using ZintarUtil::SettingRow;

bool IsUsablePollRate(std::uint32_t milliseconds)
{
    return IsWithinBounds(RowOf(&PipeSettings::devicePollRate), milliseconds);
}

bool IsUsableSaveRate(std::uint32_t seconds)
{
    return IsWithinBounds(RowOf(&PipeSettings::saveRate), seconds);
}

PipeSettings ReportedSettings(const ServiceSettings& settings)
{
    PipeSettings reported;
    reported.maxMessage = settings.requestedMaxMessage;
    reported.devicePollRate = settings.devicePollRate;
    ZintarUtil::FlagsToMask(reported.typeFilter, settings.typeEnabled, kMessageTypes);
    reported.saveRate = settings.saveRate;
    reported.logFileInUse = settings.logFileInUse;
    reported.logFileFallback = settings.logFileFallback;
    return reported;
}

void TakeSettings(ServiceSettings& settings, const PipeSettings& numbers)
{
    settings.requestedMaxMessage = numbers.maxMessage;
    settings.devicePollRate = numbers.devicePollRate;
    settings.saveRate = numbers.saveRate;
    ZintarUtil::MaskToFlags(numbers.typeFilter, settings.typeEnabled, kMessageTypes);
}

std::optional<std::string> RefusalOfSettings(const PipeSettings& numbers)
{
    for (const SettingRow& row : ZintarUtil::kSettingRows) {
        const std::uint32_t value = numbers.*row.field;
        const std::string stated = std::string(row.registryName) + " " + std::to_string(value);
        // A limit of 0 becomes 1; only a log file beyond 32 bits cannot be had.
        if (row.field == &PipeSettings::maxMessage) {
            if (value > row.highest)
                return stated + " is above the largest log file, " + std::to_string(row.highest) + " messages";
        } else if (!IsWithinBounds(row, value)) {
            return stated + " is outside " + std::to_string(row.lowest) + " to " + std::to_string(row.highest) +
                   (*row.unit != '\0' ? std::string(" ") + row.unit : std::string());
        }
    }
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
