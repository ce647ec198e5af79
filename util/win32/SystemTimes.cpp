#include "util/win32/SystemTimes.h"

namespace ZintarUtil {

TimeFields FieldsOf(const SYSTEMTIME& t)
{
    return {static_cast<std::int16_t>(t.wYear),         static_cast<std::int16_t>(t.wMonth),
            static_cast<std::int16_t>(t.wDay),          static_cast<std::int16_t>(t.wHour),
            static_cast<std::int16_t>(t.wMinute),       static_cast<std::int16_t>(t.wSecond),
            static_cast<std::int16_t>(t.wMilliseconds), static_cast<std::int16_t>(t.wDayOfWeek)};
}

SYSTEMTIME SystemTimeOf(const TimeFields& t)
{
    return {static_cast<WORD>(t.year),   static_cast<WORD>(t.month),       static_cast<WORD>(t.weekday),
            static_cast<WORD>(t.day),    static_cast<WORD>(t.hour),        static_cast<WORD>(t.minute),
            static_cast<WORD>(t.second), static_cast<WORD>(t.milliseconds)};
}

TimeFields LocalTimeNow()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return FieldsOf(now);
}

int LocalUtcOffsetMinutes()
{
    TIME_ZONE_INFORMATION zone{};
    const DWORD mode = GetTimeZoneInformation(&zone);
    return -static_cast<int>(zone.Bias + (mode == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : zone.StandardBias));
}

SyslogOrigin ThisMachineOrigin(int facility)
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = sizeof name;
    SyslogOrigin origin;
    origin.hostName = GetComputerNameA(name, &length) ? name : "-";
    origin.utcOffsetMinutes = LocalUtcOffsetMinutes();
    origin.facility = facility;
    return origin;
}

}  // namespace ZintarUtil
