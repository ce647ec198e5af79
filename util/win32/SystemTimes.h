// The system's SYSTEMTIME and the log's TimeFields hold the same fields in another order.
#pragma once

#include <windows.h>

#include <string>

#include "util/LogFileFormat.h"
#include "util/SyslogRecord.h"

namespace ZintarUtil {

TimeFields FieldsOf(const SYSTEMTIME& time);
SYSTEMTIME SystemTimeOf(const TimeFields& time);

// The local time now, as a message's time stamp.
TimeFields LocalTimeNow();

// Local time minus UTC now, in minutes, daylight saving included: a program that runs for months
// asks again for every batch it sends.
int LocalUtcOffsetMinutes();

// This computer's name ("-" when it cannot be read), the offset above and `facility`.
SyslogOrigin ThisMachineOrigin(int facility);

}  // namespace ZintarUtil
