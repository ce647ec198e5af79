#include "util/win32/ZintarDeviceClient.h"

#include "util/Exceptions.h"

namespace ZintarUtil {

static_assert(sizeof(LogMessage) == ZINTAR_MESSAGE_SIZE);

namespace {

UniqueFile OpenDevice()
{
    return UniqueFile(CreateFileA(ZINTAR_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
}

}  // namespace

ZintarDeviceClient::ZintarDeviceClient() : device(OpenDevice())
{
    if (!device)
        throw Exceptions::ExceptionWindows("Failed to open the Zintar device");
}

std::optional<ZintarDeviceClient> ZintarDeviceClient::TryOpen()
{
    UniqueFile opened = OpenDevice();
    if (!opened)
        return std::nullopt;
    return ZintarDeviceClient(std::move(opened));
}

bool ZintarDeviceClient::ReadMessage(LogMessage& message)
{
    DWORD returned = 0;
    return DeviceIoControl(device.Get(), IOCTL_READ_MESSAGE, nullptr, 0, &message, sizeof message, &returned,
                           nullptr) == TRUE;
}

std::uint32_t ZintarDeviceClient::Push(const LogMessage* messages, std::size_t count)
{
    DWORD returned = 0;
    const auto length = static_cast<DWORD>(count * sizeof(LogMessage));
    if (DeviceIoControl(device.Get(), IOCTL_ZINTAR_PUSH, const_cast<LogMessage*>(messages), length, nullptr, 0,
                        &returned, nullptr))
        return 0;
    return GetLastError();
}

ZintarStats ZintarDeviceClient::Stats()
{
    ZintarStats stats{};
    DWORD returned = 0;
    if (!DeviceIoControl(device.Get(), IOCTL_ZINTAR_STATS, nullptr, 0, &stats, sizeof stats, &returned, nullptr))
        throw Exceptions::ExceptionWindows("Failed to read the Zintar device's counters");
    return stats;
}

}  // namespace ZintarUtil
