// The system's SYSTEMTIME and the log's TimeFields hold the same fields in another order.
#pragma once

#include <windows.h>

#include "LogFileFormat.h"

namespace ZintarUtil {

TimeFields FieldsOf(const SYSTEMTIME& time);
SYSTEMTIME SystemTimeOf(const TimeFields& time);

// The local time now, as a message's time stamp.
TimeFields LocalTimeNow();

}  // namespace ZintarUtil
