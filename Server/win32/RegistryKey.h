// One open registry key, created when it is missing; all registry access of the service goes
// through it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "util/win32/UniqueResource.h"

namespace ZintarServer {

class RegistryKey {
public:
    // Opens `path` under `root` for reading and writing, creating it when missing. Throws
    // ExceptionWindows "RegCreateKeyEx() failed" with the returned status.
    RegistryKey(HKEY root, const std::string& path);
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

private:
    ZintarUtil::UniqueRegistryKey handle;
    DWORD enumerationIndex = 0;
};

}  // namespace ZintarServer
