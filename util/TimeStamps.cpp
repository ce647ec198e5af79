#include "util/TimeStamps.h"

#include <algorithm>

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

// Days since 1970-01-01 of a civil date, and back (Howard Hinnant's algorithms).
std::int64_t DaysFromCivil(std::int64_t year, int month, int day)
{
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

TimeFields FieldsOfMilliseconds(std::int64_t milliseconds)
{
    std::int64_t days = milliseconds / 86400000;
    std::int64_t ofDay = milliseconds % 86400000;
    if (ofDay < 0) {
        ofDay += 86400000;
        days -= 1;
    }
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t mp = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2));
    return TimeFields{static_cast<std::int16_t>(year),
                      static_cast<std::int16_t>(month),
                      static_cast<std::int16_t>(day),
                      static_cast<std::int16_t>(ofDay / 3600000),
                      static_cast<std::int16_t>(ofDay / 60000 % 60),
                      static_cast<std::int16_t>(ofDay / 1000 % 60),
                      static_cast<std::int16_t>(ofDay % 1000),
                      0};
}

std::int64_t MillisecondsOf(const TimeFields& t)
{
    return DaysFromCivil(t.year, t.month, t.day) * 86400000 + t.hour * 3600000LL + t.minute * 60000LL +
           t.second * 1000LL + t.milliseconds;
}

}  // namespace

std::optional<TimeFields> ParseTimeOrWord(const std::string& text, const TimeFields& now)
{
    std::int64_t at = 0;
    if (text == "today" || text == "yesterday") {
        at = DaysFromCivil(now.year, now.month, now.day) * 86400000 - (text == "yesterday" ? 86400000 : 0);
    } else if (text.size() >= 3 && text[0] == '-' && std::string("smhd").find(text.back()) != std::string::npos) {
        static const std::int64_t unit[] = {1000, 60000, 3600000, 86400000};
        if (text.size() > 8)  // at most six digits, read only once that is known
            return std::nullopt;
        const int count = FixedDigits(text, 1, text.size() - 2);
        if (count < 0)
            return std::nullopt;
        // Never before the calendar's start (1 January 1601, as Windows counts): a time before
        // every message, where a negative year would sort after them all.
        at = std::max(MillisecondsOf(now) - count * unit[std::string("smhd").find(text.back())],
                      DaysFromCivil(1601, 1, 1) * 86400000);
    } else {
        return ParseTimeStamp(text);
    }
    TimeFields fields = FieldsOfMilliseconds(at);
    fields.weekday = WeekdayOf(fields.year, fields.month, fields.day);
    return fields;
}

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
            day <= DaysInMonth(year, month) && hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 &&
            second <= 59 && milliseconds >= 0;
    if (!valid)
        return std::nullopt;
    return TimeFields{static_cast<std::int16_t>(year),         static_cast<std::int16_t>(month),
                      static_cast<std::int16_t>(day),          static_cast<std::int16_t>(hour),
                      static_cast<std::int16_t>(minute),       static_cast<std::int16_t>(second),
                      static_cast<std::int16_t>(milliseconds), WeekdayOf(year, month, day)};
}

namespace {

// `value` in decimal, with leading zeros to `width` digits (as printf's %0*d).
void AppendDigits(std::string& text, int value, std::size_t width)
{
    const std::string digits = std::to_string(value);
    if (digits.size() < width)
        text.append(width - digits.size(), '0');
    text += digits;
}

}  // namespace

std::string TimeStampText(const TimeFields& t, char separator, TimeStampEnd end)
{
    std::string text;
    AppendDigits(text, t.year, 4);
    text += '-';
    AppendDigits(text, t.month, 2);
    text += '-';
    AppendDigits(text, t.day, 2);
    if (end == TimeStampEnd::Day)
        return text;
    text += separator;
    AppendDigits(text, t.hour, 2);
    text += ':';
    AppendDigits(text, t.minute, 2);
    if (end == TimeStampEnd::Minute)
        return text;
    text += ':';
    AppendDigits(text, t.second, 2);
    if (end == TimeStampEnd::Second)
        return text;
    text += '.';
    AppendDigits(text, t.milliseconds, 3);
    return text;
}

std::string CompactTimeStampText(const TimeFields& t)
{
    std::string text;
    AppendDigits(text, t.year, 4);
    AppendDigits(text, t.month, 2);
    AppendDigits(text, t.day, 2);
    text += '-';
    AppendDigits(text, t.hour, 2);
    AppendDigits(text, t.minute, 2);
    AppendDigits(text, t.second, 2);
    return text;
}

}  // namespace ZintarUtil
