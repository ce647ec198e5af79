#include "util/win32/ForwardSettingsStore.h"

#include <windows.h>

#include <shlobj.h>

#include <cstdlib>
#include <cstring>

#include "util/CommandLineValues.h"
#include "util/Exceptions.h"
#include "util/ZintarNames.h"
#include "util/win32/RegistryKey.h"
#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

using Exceptions::ExceptionBase;

namespace {

// The settings kept as text as they are, one row each; Types, Revocation and Facility are read
// and written by their own rules below.
struct ForwardTextRow {
    const char* registryName;
    std::string ForwardSettings::*field;
};

constexpr ForwardTextRow kForwardTextRows[] = {
    {"To", &ForwardSettings::to},
    {"HostName", &ForwardSettings::hostName},
    {"State", &ForwardSettings::stateFile},
    {"CA", &ForwardSettings::caFile},
    {"Fingerprint", &ForwardSettings::fingerprint},
    {"ClientCert", &ForwardSettings::clientCertificate},
};

constexpr std::uint32_t kDefaultFacility = 16;

}  // namespace

void WriteForwardSettings(const ForwardSettings& s)
{
    RegistryKey key(HKEY_LOCAL_MACHINE, kForwardKeyPath,
                    "Failed to create the registry key of the forwarder's settings");
    for (const ForwardTextRow& row : kForwardTextRows)
        key.SetText(row.registryName, s.*row.field);
    key.SetText("Types", TypesText(s.typeMask));
    key.SetText("Revocation", RevocationText(s.revocation));
    key.SetDword("Facility", static_cast<std::uint32_t>(s.facility));
}

std::optional<ForwardSettings> ReadForwardSettings()
{
    std::optional<RegistryKey> key = RegistryKey::OpenForReading(
        HKEY_LOCAL_MACHINE, kForwardKeyPath, "Failed to open the registry key of the forwarder's settings");
    if (!key)
        return std::nullopt;
    ForwardSettings s;
    for (const ForwardTextRow& row : kForwardTextRows)
        s.*row.field = key->ReadText(row.registryName);
    // Missing in settings stored before the value existed: the default.
    const std::string revocation = key->ReadText("Revocation");
    const auto check = revocation.empty() ? RevocationCheck::Soft : ParseRevocation(revocation);
    if (!check)
        throw ExceptionBase("The registry value Revocation takes off, soft or hard, not '" + revocation + "'");
    s.revocation = *check;
    const std::string types = key->ReadText("Types");
    try {
        s.typeMask = types.empty() ? kEveryTypeMask : ParseTypeList(types, "The registry value Types");
    } catch (const UsageError& e) {
        throw ExceptionBase(e.what());
    }
    s.facility = static_cast<int>(key->ReadDword("Facility").value_or(kDefaultFacility));
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
