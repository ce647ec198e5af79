// The service's numeric settings, one row each: where the registry keeps it, where the
// GetSettings reply and the SetSettings request carry it, its default and bounds, and how
// `zintarctl status`, `zintarctl settings get` and the web page show it. The service's store, its
// pipe requests and the clients all go by these rows; a new setting that they show is a row here
// and its use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "util/LogFileFormat.h"
#include "util/PipeRecords.h"

namespace ZintarUtil {

// The settings as GetSettings reports them and SetSettings takes them (the same layout): the one
// record of them that the service's replies and every client use.
struct PipeSettings {
    std::uint32_t maxMessage = 0;
    std::uint32_t devicePollRate = 0;  // ms
    std::uint32_t typeFilter = 0;      // bit i admits type i
    std::uint32_t saveRate = 0;        // s
    // What the service runs on, as GetSettings reports it (SetSettings leaves them out).
    std::string logFileInUse;
    bool logFileFallback = false;  // LogFile could not be used; the default path is in use
    bool deviceOpen = false;
};

// The longest timer period: waits of 2^31 ms and more are not waits on every system, and a save
// rate whose product with 1000 passes 32 bits would wrap to a short period.
constexpr std::uint32_t kMaxPeriod = 0x7FFFFFFF;           // milliseconds
constexpr std::uint32_t kMaxSaveRate = kMaxPeriod / 1000;  // seconds

// The longest LogFile value a start can read back from the registry (a 256-byte buffer).
constexpr std::size_t kMaxLogFilePathLength = 255;

// What a setting is, which decides how it is shown and what a start says of a value outside its
// bounds.
enum class SettingKind {
    Count,     // a number of things, shown with the reader's digit grouping on the web page
    Period,    // a timer's period, shown with its unit; out of bounds it would keep the timer from pausing
    TypeMask,  // bit i for type i, shown as the list of types
};

struct SettingRow {
    const char* registryName;  // the value under the service's key, and the name refusals use
    std::uint32_t PipeSettings::*field;
    std::size_t offset;  // in SetSettings and ReplySettings
    std::uint32_t defaultValue;
    std::uint32_t lowest, highest;  // what a start uses and SetSettings accepts
    SettingKind kind;
    const char* unit;      // "ms", "s", or "" for none
    const char* label;     // in `zintarctl status` and on the web page
    const char* jsonName;  // the field of the web page's status
};

// In the order in which the service reads them and `zintarctl status` shows them.
inline constexpr SettingRow kSettingRows[] = {
    {"MaxMessage", &PipeSettings::maxMessage, Pipe::kMaxMessageOffset, 50000, 1, kMaxCapacity, SettingKind::Count, "",
     "max messages", "maxMessage"},
    {"DevicePollRate", &PipeSettings::devicePollRate, Pipe::kDevicePollRateOffset, 1000, 1, kMaxPeriod,
     SettingKind::Period, "ms", "poll rate", "devicePollRate"},
    {"SaveRate", &PipeSettings::saveRate, Pipe::kSaveRateOffset, 300, 1, kMaxSaveRate, SettingKind::Period, "s",
     "save rate", "saveRate"},
    {"TypeFilter", &PipeSettings::typeFilter, Pipe::kTypeFilterOffset, 0xFFFFFFFF, 0, 0xFFFFFFFF, SettingKind::TypeMask,
     "", "types kept", "typeFilter"},
};

// The row of `field`; every field of the four numbers has one.
const SettingRow& RowOf(std::uint32_t PipeSettings::*field);

inline bool IsWithinBounds(const SettingRow& row, std::uint32_t value)
{
    return value >= row.lowest && value <= row.highest;
}

// "300 s", "50000", "0,1,2,3": the value as status shows it.
std::string SettingText(const SettingRow& row, const PipeSettings& settings);

// The numbers into their fields of a SetSettings request or a ReplySettings reply.
void EncodeSettings(PipeRecord& record, const PipeSettings& settings);
// A whole ReplySettings: its code, the numbers, and what the service runs on.
void EncodeSettingsReply(PipeReply& reply, const PipeSettings& settings);
// The settings of a ReplySettings reply, or the numbers of a SetSettings request.
PipeSettings SettingsOf(const PipeRecord& record);

}  // namespace ZintarUtil
