// Time stamps as people type and read them: "YYYY-MM-DDThh:mm:ss.mmm" in the time of the
// messages (the device stamps local time). Shared by the tools, which read times from the command
// line and print the times of messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "util/LogFileFormat.h"

namespace ZintarUtil {

// "YYYY-MM-DDThh:mm:ss[.mmm]" (a blank may stand for the T; ".5" is 500 ms) → its fields, with the
// weekday filled in; nothing for any other text or for a date that does not exist.
std::optional<TimeFields> ParseTimeStamp(const std::string& text);

// What journalctl takes besides a time stamp, relative to `now`: "today" and "yesterday" (their
// midnight), and "-N" followed by s, m, h or d (N seconds, minutes, hours or days ago); else
// ParseTimeStamp. Nothing for any other text.
std::optional<TimeFields> ParseTimeOrWord(const std::string& text, const TimeFields& now);

// Where a time stamp's text ends: after the day, the minute, the second or the millisecond.
enum class TimeStampEnd { Day, Minute, Second, Millisecond };

// "YYYY-MM-DD hh:mm:ss.mmm", with `separator` between the date and the time, ending at `end`. The
// one formatter of dates: the tools' columns, a certificate's dates, the days of the collector's
// partitions.
std::string TimeStampText(const TimeFields& time, char separator = ' ', TimeStampEnd end = TimeStampEnd::Millisecond);

// "YYYYMMDD-hhmmss", for a file name.
std::string CompactTimeStampText(const TimeFields& time);

// 0 for Sunday, as TIME_FIELDS counts weekdays.
std::int16_t WeekdayOf(int year, int month, int day);

}  // namespace ZintarUtil
