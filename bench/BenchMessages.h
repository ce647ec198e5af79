// The messages the benchmarks feed the log store: a time stamp per millisecond from the 1st of December.
#pragma once

#include <cstdint>
#include <cstring>

#include "util/LogFileFormat.h"

namespace ZintarBench {

inline ZintarUtil::LogMessage MessageAt(std::uint64_t milliseconds)
{
    ZintarUtil::LogMessage message{};
    message.timeStamp.year = 2026;
    message.timeStamp.month = 12;
    message.timeStamp.day = static_cast<std::int16_t>(1 + milliseconds / 86400000);  // to the end of the month
    message.timeStamp.hour = static_cast<std::int16_t>(milliseconds / 3600000 % 24);
    message.timeStamp.minute = static_cast<std::int16_t>(milliseconds / 60000 % 60);
    message.timeStamp.second = static_cast<std::int16_t>(milliseconds / 1000 % 60);
    message.timeStamp.milliseconds = static_cast<std::int16_t>(milliseconds % 1000);
    std::strcpy(message.text, "Camera frame dropped");
    std::strcpy(message.auxText, "usb\\vid_1234");
    return message;
}

}  // namespace ZintarBench
