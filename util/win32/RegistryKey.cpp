#include "util/win32/RegistryKey.h"

#include <cstring>
#include <vector>

#include "util/Exceptions.h"
#include "util/ServiceSettingsTable.h"

namespace ZintarUtil {

using Exceptions::ExceptionBase;
using Exceptions::ExceptionWindows;

RegistryKey::RegistryKey(HKEY root, const std::string& path) : RegistryKey(root, path, "RegCreateKeyEx() failed") {}

RegistryKey::RegistryKey(HKEY root, const std::string& path, const std::string& failure)
{
    const LONG status = RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                                        nullptr, handle.Put(), nullptr);
    if (status != ERROR_SUCCESS)
        throw ExceptionWindows(failure, nullptr, static_cast<std::uint32_t>(status));
}

std::optional<RegistryKey> RegistryKey::OpenForReading(HKEY root, const std::string& path, const std::string& failure)
{
    RegistryKey key;
    const LONG status = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.handle.Put());
    if (status == ERROR_FILE_NOT_FOUND)
        return std::nullopt;
    if (status != ERROR_SUCCESS)
        throw ExceptionWindows(failure, nullptr, static_cast<std::uint32_t>(status));
    return key;
}

RegistryKey::~RegistryKey() = default;

std::string RegistryKey::ReadData(const std::string& name, const std::string& defaultText)
{
    // SetLogFileName refuses a path longer than this reads back.
    char buffer[kMaxLogFilePathLength + 1] = {};
    DWORD size = sizeof buffer;
    const LONG status =
        RegQueryValueExA(handle.Get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        WriteData(name, defaultText);
        return defaultText;
    }
    if (status != ERROR_SUCCESS)
        throw ExceptionWindows("ReadData() failed", nullptr, static_cast<std::uint32_t>(status));
    // The stored text need not end in a NUL within the bytes returned.
    return std::string(buffer, strnlen(buffer, size < sizeof buffer ? size : sizeof buffer));
}

std::uint32_t RegistryKey::ReadData(const std::string& name, std::uint32_t defaultNumber)
{
    std::uint32_t number = 0;
    DWORD size = sizeof number;
    const LONG status =
        RegQueryValueExA(handle.Get(), name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&number), &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        WriteData(name, defaultNumber);
        return defaultNumber;
    }
    if (status != ERROR_SUCCESS)
        throw ExceptionWindows("ReadData() failed", nullptr, static_cast<std::uint32_t>(status));
    return number;
}

LONG RegistryKey::WriteData(const std::string& name, const std::string& text)
{
    return RegSetValueExA(handle.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

LONG RegistryKey::WriteData(const std::string& name, std::uint32_t number)
{
    return RegSetValueExA(handle.Get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                          sizeof number);
}

LONG RegistryKey::DeleteSubKey(const std::string& name)
{
    return RegDeleteKeyA(handle.Get(), name.c_str());
}

bool RegistryKey::NextValue(std::string& text)
{
    char name[64];
    DWORD nameLength = sizeof name;
    DWORD dataSize = 0;
    const LONG status =
        RegEnumValueA(handle.Get(), enumerationIndex, name, &nameLength, nullptr, nullptr, nullptr, &dataSize);
    if (status == ERROR_NO_MORE_ITEMS) {
        enumerationIndex = 0;
        return false;
    }
    if (status != ERROR_SUCCESS)
        return false;
    ++enumerationIndex;
    std::vector<char> data(dataSize + 1, '\0');
    DWORD size = dataSize;
    if (RegQueryValueExA(handle.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size) !=
        ERROR_SUCCESS)
        size = 0;
    data[size < dataSize ? size : dataSize] = '\0';
    text.assign(data.data());
    return true;
}

std::string RegistryKey::ReadText(const std::string& name)
{
    char buffer[1024] = {};
    DWORD size = sizeof buffer - 1;
    DWORD type = 0;
    const LONG status =
        RegQueryValueExA(handle.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return {};
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        throw ExceptionWindows("Failed to read the registry value " + name + " as text", nullptr,
                               static_cast<std::uint32_t>(status == ERROR_SUCCESS ? ERROR_INVALID_DATA : status));
    return std::string(buffer, strnlen(buffer, size));
}

std::optional<std::uint32_t> RegistryKey::ReadDword(const std::string& name)
{
    DWORD number = 0, size = sizeof number, type = 0;
    const LONG status =
        RegQueryValueExA(handle.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&number), &size);
    if (status != ERROR_SUCCESS)
        return std::nullopt;
    if (type != REG_DWORD)
        throw ExceptionBase("The registry value " + name + " is not a DWORD");
    return number;
}

void RegistryKey::SetText(const std::string& name, const std::string& text)
{
    if (const LONG status = WriteData(name, text); status != ERROR_SUCCESS)
        throw ExceptionWindows("Failed to write the registry value " + name, nullptr,
                               static_cast<std::uint32_t>(status));
}

void RegistryKey::SetDword(const std::string& name, std::uint32_t number)
{
    if (const LONG status = WriteData(name, number); status != ERROR_SUCCESS)
        throw ExceptionWindows("Failed to write the registry value " + name, nullptr,
                               static_cast<std::uint32_t>(status));
}

}  // namespace ZintarUtil
