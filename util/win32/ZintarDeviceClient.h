// A user-mode handle on the Zintar device, for the programs that feed it or read it directly
// (the feeder tool, tests, benchmarks) and for the service's intake.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "util/LogFileFormat.h"
#include "util/ZintarDeviceInterface.h"
#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

class ZintarDeviceClient {
public:
    // Opens \\.\ZINTAR; throws ExceptionWindows "Failed to open the Zintar device" when it
    // cannot (error 2 when the driver is not loaded).
    ZintarDeviceClient();
    // Opens \\.\ZINTAR without throwing, for the service, which tries again at every poll until
    // the driver is there: nothing when it cannot, and GetLastError() then tells why.
    static std::optional<ZintarDeviceClient> TryOpen();

    // Removes the oldest message into `message`. False when the queue is empty (or the read
    // failed); GetLastError() then tells which (259 for empty).
    bool ReadMessage(LogMessage& message);

    // Queues `count` messages in one request: all of them, or none. Returns 0 on success, else
    // the Windows error: ERROR_BUSY (170) when fewer than `count` places are free.
    std::uint32_t Push(const LogMessage* messages, std::size_t count);

    // The device's counters; throws ExceptionWindows when the request fails.
    ZintarStats Stats();

    HANDLE Handle() const { return device.Get(); }

private:
    explicit ZintarDeviceClient(UniqueFile opened) : device(std::move(opened)) {}

    UniqueFile device;
};

}  // namespace ZintarUtil
