#include "util/win32/ForwardSettingsStore.h"

#include <windows.h>

#include <shlobj.h>

#include <cstdlib>
#include <cstring>

#include "util/CommandLineValues.h"
#include "util/Exceptions.h"
#include "util/ZintarNames.h"
#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

using Exceptions::ExceptionBase;
using Exceptions::ExceptionWindows;

namespace {

void SetText(HKEY key, const char* name, const std::string& text)
{
    const LONG status = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                       static_cast<DWORD>(text.size() + 1));
    if (status != ERROR_SUCCESS)
        throw ExceptionWindows("Failed to write the registry value " + std::string(name), nullptr,
                               static_cast<std::uint32_t>(status));
}

std::string GetText(HKEY key, const char* name)
{
    char buffer[1024] = {};
    DWORD size = sizeof buffer - 1;
    DWORD type = 0;
    const LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return {};
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        throw ExceptionWindows("Failed to read the registry value " + std::string(name) + " as text", nullptr,
                               static_cast<std::uint32_t>(status == ERROR_SUCCESS ? ERROR_INVALID_DATA : status));
    return std::string(buffer, strnlen(buffer, size));
}

}  // namespace

void WriteForwardSettings(const ForwardSettings& s)
{
    UniqueRegistryKey owned;
    const LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kForwardKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_WRITE, nullptr, owned.Put(), nullptr);
    if (status != ERROR_SUCCESS)
        throw ExceptionWindows("Failed to create the registry key of the forwarder's settings", nullptr,
                               static_cast<std::uint32_t>(status));
    const HKEY key = owned.Get();
    SetText(key, "To", s.to);
    SetText(key, "HostName", s.hostName);
    SetText(key, "State", s.stateFile);
    SetText(key, "Types", TypesText(s.typeMask));
    SetText(key, "CA", s.caFile);
    SetText(key, "Fingerprint", s.fingerprint);
    SetText(key, "ClientCert", s.clientCertificate);
    SetText(key, "Revocation", RevocationText(s.revocation));
    const DWORD facility = static_cast<DWORD>(s.facility);
    const LONG written =
        RegSetValueExA(key, "Facility", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&facility), sizeof facility);
    if (written != ERROR_SUCCESS)
        throw ExceptionWindows("Failed to write the registry value Facility", nullptr,
                               static_cast<std::uint32_t>(written));
}

std::optional<ForwardSettings> ReadForwardSettings()
{
    UniqueRegistryKey owned;
    const LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kForwardKeyPath, 0, KEY_READ, owned.Put());
    if (status == ERROR_FILE_NOT_FOUND)
        return std::nullopt;
    if (status != ERROR_SUCCESS)
        throw ExceptionWindows("Failed to open the registry key of the forwarder's settings", nullptr,
                               static_cast<std::uint32_t>(status));
    const HKEY key = owned.Get();
    ForwardSettings s;
    s.to = GetText(key, "To");
    s.hostName = GetText(key, "HostName");
    s.stateFile = GetText(key, "State");
    s.caFile = GetText(key, "CA");
    s.fingerprint = GetText(key, "Fingerprint");
    s.clientCertificate = GetText(key, "ClientCert");
    // Missing in settings stored before the value existed: the default.
    const std::string revocation = GetText(key, "Revocation");
    const auto check = revocation.empty() ? RevocationCheck::Soft : ParseRevocation(revocation);
    if (!check)
        throw ExceptionBase("The registry value Revocation takes off, soft or hard, not '" + revocation + "'");
    s.revocation = *check;
    const std::string types = GetText(key, "Types");
    try {
        s.typeMask = types.empty() ? kEveryTypeMask : ParseTypeList(types, "The registry value Types");
    } catch (const UsageError& e) {
        throw ExceptionBase(e.what());
    }
    DWORD facility = 16, size = sizeof facility, type = 0;
    const LONG read = RegQueryValueExA(key, "Facility", nullptr, &type, reinterpret_cast<BYTE*>(&facility), &size);
    if (read == ERROR_SUCCESS && type != REG_DWORD)
        throw ExceptionBase("The registry value Facility is not a DWORD");
    s.facility = read == ERROR_SUCCESS ? static_cast<int>(facility) : 16;
    return s;
}

void DeleteForwardSettings()
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kForwardKeyPath);
}

std::string ForwardStateFolder()
{
    // The shell's answer rather than %ProgramData%: a service's environment need not hold it.
    char folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        std::strcpy(folder, "C:\\ProgramData");
    return std::string(folder) + "\\Tervan Log Forwarder";
}

std::string ForwardStatePath(const ForwardSettings& settings)
{
    return settings.stateFile.empty() ? ForwardStateFolder() + "\\state.txt" : settings.stateFile;
}

std::optional<ForwardState> ReadForwardStateFile(const std::string& path)
{
    const UniqueFile file(CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::nullopt;
    std::string text(64 * 1024, '\0');
    DWORD read = 0;
    if (!ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr))
        return std::nullopt;
    text.resize(read);
    return ParseForwardState(text);
}

std::string ForwardStatusCopyPath(const std::string& statePath)
{
    const std::size_t name = statePath.find_last_of('\\') + 1;
    const bool text = statePath.size() >= name + 4 && _stricmp(statePath.c_str() + statePath.size() - 4, ".txt") == 0;
    return (text ? statePath.substr(0, statePath.size() - 4) : statePath) + "-status.txt";
}

std::optional<ForwardState> ReadForwardStatus(const std::string& statePath)
{
    if (std::optional<ForwardState> copy = ReadForwardStateFile(ForwardStatusCopyPath(statePath)))
        return copy;
    return ReadForwardStateFile(statePath);
}

}  // namespace ZintarUtil
