// One open registry key; all registry access goes through it: the service's settings (created
// when missing, defaults written on first read) and the forwarder's (read with read access only,
// every value's type checked).
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

class RegistryKey {
public:
    // Opens `path` under `root` for reading and writing, creating it when missing. Throws
    // ExceptionWindows "RegCreateKeyEx() failed" with the returned status.
    RegistryKey(HKEY root, const std::string& path);
    // The same, throwing `failure` (ExceptionWindows, with the status) instead.
    RegistryKey(HKEY root, const std::string& path, const std::string& failure);
    // Opens `path` for reading only; nothing when it is missing. Throws ExceptionWindows `failure`
    // with the status on any other failure.
    static std::optional<RegistryKey> OpenForReading(HKEY root, const std::string& path, const std::string& failure);
    RegistryKey(RegistryKey&&) noexcept = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey();

    // The value's text, up to its first NUL. A missing value is written with the default, which
    // is returned. A value of more than 256 bytes with its NUL, or any other failure, throws
    // ExceptionWindows "ReadData() failed" with the status (234 for a value that is too long).
    std::string ReadData(const std::string& name, const std::string& defaultText);
    // The same for a 4-byte number.
    std::uint32_t ReadData(const std::string& name, std::uint32_t defaultNumber);

    LONG WriteData(const std::string& name, const std::string& text);
    LONG WriteData(const std::string& name, std::uint32_t number);
    // Deletes the subkey `name` with its values (it must have no subkeys of its own).
    LONG DeleteSubKey(const std::string& name);

    // The data of the next value of the key, as text; false at the end of the values (the
    // enumeration then starts again) or on an error, such as a name of 64 characters or more.
    bool NextValue(std::string& text);

    // Checked access, where a value of the wrong type is an error rather than read as bytes.
    // The text (REG_SZ or REG_EXPAND_SZ, at most 1023 characters) of a value; empty when it is
    // missing, which is not written. Throws ExceptionWindows "Failed to read the registry value
    // <name> as text".
    std::string ReadText(const std::string& name);
    // The DWORD of a value; nothing when it cannot be read (missing, or longer than 4 bytes).
    // Throws ExceptionBase "The registry value <name> is not a DWORD" for one of another type.
    std::optional<std::uint32_t> ReadDword(const std::string& name);
    // Throw ExceptionWindows "Failed to write the registry value <name>" with the status.
    void SetText(const std::string& name, const std::string& text);
    void SetDword(const std::string& name, std::uint32_t number);

private:
    RegistryKey() = default;

    ZintarUtil::UniqueRegistryKey handle;
    DWORD enumerationIndex = 0;
};

}  // namespace ZintarUtil
