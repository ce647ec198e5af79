#include "SystemTimes.h"

namespace ZintarUtil {

TimeFields FieldsOf(const SYSTEMTIME& t)
{
    return {static_cast<std::int16_t>(t.wYear),   static_cast<std::int16_t>(t.wMonth),
            static_cast<std::int16_t>(t.wDay),    static_cast<std::int16_t>(t.wHour),
            static_cast<std::int16_t>(t.wMinute), static_cast<std::int16_t>(t.wSecond),
            static_cast<std::int16_t>(t.wMilliseconds), static_cast<std::int16_t>(t.wDayOfWeek)};
}

SYSTEMTIME SystemTimeOf(const TimeFields& t)
{
    return {static_cast<WORD>(t.year),   static_cast<WORD>(t.month),  static_cast<WORD>(t.weekday),
            static_cast<WORD>(t.day),    static_cast<WORD>(t.hour),   static_cast<WORD>(t.minute),
            static_cast<WORD>(t.second), static_cast<WORD>(t.milliseconds)};
}

TimeFields LocalTimeNow()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return FieldsOf(now);
}

}  // namespace ZintarUtil
