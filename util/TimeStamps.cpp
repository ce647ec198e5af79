#include "TimeStamps.h"

#include <cstdio>

namespace ZintarUtil {

namespace {

// The digits text[at .. at + count), or -1 when any of them is not a digit: no sign, no blank.
int FixedDigits(const std::string& text, std::size_t at, std::size_t count)
{
    if (at + count > text.size())
        return -1;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

int DaysInMonth(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

std::int16_t WeekdayOf(int year, int month, int day)
{
    // Sakamoto's method; 0 is Sunday.
    static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3)
        year -= 1;
    return static_cast<std::int16_t>((year + year / 4 - year / 100 + year / 400 + offsets[month - 1] + day) % 7);
}

std::optional<TimeFields> ParseTimeStamp(const std::string& text)
{
    const int year = FixedDigits(text, 0, 4), month = FixedDigits(text, 5, 2), day = FixedDigits(text, 8, 2);
    const int hour = FixedDigits(text, 11, 2), minute = FixedDigits(text, 14, 2), second = FixedDigits(text, 17, 2);
    bool valid = text.size() >= 19 && text[4] == '-' && text[7] == '-' && (text[10] == 'T' || text[10] == ' ') &&
                 text[13] == ':' && text[16] == ':';
    int milliseconds = 0;
    if (valid && text.size() > 19) {
        // A fraction of a second: ".5" is 500 ms, ".05" 50 ms, ".005" 5 ms.
        const std::size_t digits = text.size() - 20;
        milliseconds = text[19] == '.' && digits >= 1 && digits <= 3 ? FixedDigits(text + "00", 20, 3) : -1;
    }
    valid = valid && year >= 1601 && year <= 30827 && month >= 1 && month <= 12 && day >= 1 &&
            day <= DaysInMonth(year, month) && hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 &&
            second >= 0 && second <= 59 && milliseconds >= 0;
    if (!valid)
        return std::nullopt;
    return TimeFields{static_cast<std::int16_t>(year),   static_cast<std::int16_t>(month),
                      static_cast<std::int16_t>(day),    static_cast<std::int16_t>(hour),
                      static_cast<std::int16_t>(minute), static_cast<std::int16_t>(second),
                      static_cast<std::int16_t>(milliseconds), WeekdayOf(year, month, day)};
}

std::string TimeStampText(const TimeFields& t, char separator)
{
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d.%03d", t.year, t.month, t.day, separator, t.hour,
                  t.minute, t.second, t.milliseconds);
    return text;
}

}  // namespace ZintarUtil
