// The settings in the registry of the run's private Wine prefix.
#include "Server/win32/SettingsStore.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <functional>
#include <map>

#include "tests/support/TestFiles.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/LogFileFormat.h"
#include "util/TextHelpers.h"
#include "util/win32/RegistryKey.h"

using namespace ZintarServer;
using ZintarUtil::kFiltersKeyPath;
using ZintarUtil::kSettingsKeyPath;
using ZintarUtil::Mutex;

namespace {

void DeleteTree(const char* path)
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
}

void SetString(const char* keyPath, const std::string& name, const std::string& value)
{
    RegistryKey key(HKEY_LOCAL_MACHINE, keyPath);
    key.WriteData(name, value);
}

void SetNumber(const std::string& name, std::uint32_t value)
{
    RegistryKey key(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    key.WriteData(name, value);
}

// Every value of a key, by name, as text or decimal number.
std::map<std::string, std::string> ValuesOf(const char* keyPath)
{
    std::map<std::string, std::string> values;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameLength = sizeof name;
        BYTE data[1024];
        DWORD dataLength = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS)
            break;
        if (type == REG_DWORD)
            values[name] = std::to_string(*reinterpret_cast<DWORD*>(data));
        else
            values[name] = std::string(reinterpret_cast<char*>(data));
    }
    RegCloseKey(key);
    return values;
}

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override { DeleteTree(kSettingsKeyPath); }
    void TearDown() override { DeleteTree(kSettingsKeyPath); }

    ServiceSettings settings;
    Mutex settingsMutex;
};

}  // namespace

TEST_F(SettingsStore, EmptyKeyIsFilledWithTheDefaults)
{
    LoadSettings(settings, settingsMutex);
    EXPECT_EQ(settings.logFile, ZintarUtil::GetExecutableRelativePath("Logs.dat"));
    EXPECT_EQ(settings.requestedMaxMessage, 50000u);
    for (bool enabled : settings.typeEnabled)
        EXPECT_TRUE(enabled);

    const auto values = ValuesOf(kSettingsKeyPath);
    EXPECT_EQ(values.at("LogFile"), settings.logFile);
    EXPECT_EQ(values.at("MaxMessage"), "50000");
    EXPECT_EQ(values.at("DevicePollRate"), "1000");
    EXPECT_EQ(values.at("SaveRate"), "300");
    EXPECT_EQ(values.at("TypeFilter"), "4294967295");
    EXPECT_EQ(values.at("StrictClientAccess"), "0");
    EXPECT_FALSE(settings.strictClientAccess);

    SaveSettings(settings, settingsMutex);
    EXPECT_EQ(ValuesOf(kSettingsKeyPath).at("TypeFilter"), "15");
}

TEST_F(SettingsStore, FiltersAreReadWhateverTheirNamesAndSavedIncludesFirstInAKeyMadeAnew)
{
    SetString(kFiltersKeyPath, "a", "iCamera");
    SetString(kFiltersKeyPath, "Leftover", "ICamera");  // upper-case I: an exclude filter
    SetString(kFiltersKeyPath, "d", "");                // skipped
    LoadSettings(settings, settingsMutex);
    EXPECT_EQ(settings.includeFilters, (std::vector<std::string>{"Camera"}));
    EXPECT_EQ(settings.excludeFilters, (std::vector<std::string>{"Camera"}));

    settings.includeFilters = {"Camera", "Disk"};
    settings.excludeFilters = {"Noise"};
    SaveSettings(settings, settingsMutex);
    EXPECT_EQ(ValuesOf(kFiltersKeyPath), (std::map<std::string, std::string>{
                                             {"Filters0", "iCamera"}, {"Filters1", "iDisk"}, {"Filters2", "eNoise"}}));
    ServiceSettings reloaded;
    LoadSettings(reloaded, settingsMutex);
    EXPECT_EQ(reloaded.includeFilters, settings.includeFilters);
    EXPECT_EQ(reloaded.excludeFilters, settings.excludeFilters);
}

// A value a start cannot read or use never stops it: a usable one takes its place, the
// diagnostic log says which, and the rest of the settings load as stored.
TEST_F(SettingsStore, ValuesThatCannotWorkAreReplacedAndLogged)
{
    const ZintarTest::TemporaryFile log("settings-log"), found("settings-found.dat");
    {
        ZintarUtil::FileHeader header{};
        header.capacity = 1234;
        std::FILE* file = std::fopen(found.path.c_str(), "wb");
        std::fwrite(&header, sizeof header, 1, file);
        std::fclose(file);
    }
    struct Case {
        const char* name;
        std::function<void()> store;
        std::function<void(const ServiceSettings&)> check;
        const char* logged;
    };
    const Case cases[] = {
        {"LogFile longer than a start reads",
         [] { SetString(kSettingsKeyPath, "LogFile", "C:\\" + std::string(300, 'x')); },
         [](const ServiceSettings& s) {
             EXPECT_EQ(s.logFile, ZintarUtil::GetExecutableRelativePath("Logs.dat"));
             EXPECT_TRUE(s.logFileFallback);
             EXPECT_EQ(s.saveRate, 77u) << "the rest loads as stored";
         },
         "LogFile cannot be read, using "},
        {"SaveRate stored as text", [] { SetString(kSettingsKeyPath, "SaveRate", "far longer than four bytes"); },
         [](const ServiceSettings& s) { EXPECT_EQ(s.saveRate, 300u); },
         "SaveRate cannot be read, using 300 : ReadData() failed"},
        {"DevicePollRate 0", [] { SetNumber("DevicePollRate", 0); },
         [](const ServiceSettings& s) { EXPECT_EQ(s.devicePollRate, 1000u); },
         "DevicePollRate 0 would keep its timer from pausing; using 1000."},
        {"SaveRate whose milliseconds wrap", [] { SetNumber("SaveRate", 4294968); },
         [](const ServiceSettings& s) { EXPECT_EQ(s.saveRate, 300u); }, "SaveRate 4294968 would keep"},
        {"MaxMessage 0, no file", [] { SetNumber("MaxMessage", 0); },
         [](const ServiceSettings& s) { EXPECT_EQ(s.requestedMaxMessage, 50000u); },
         "MaxMessage 0 is outside 1 to 7669584; using 50000."},
        {"MaxMessage too large keeps the file's capacity",
         [&] {
             SetNumber("MaxMessage", 7669585);
             SetString(kSettingsKeyPath, "LogFile", found.path);
         },
         [](const ServiceSettings& s) { EXPECT_EQ(s.maxMessage, 1234u); },
         "MaxMessage 7669585 is outside 1 to 7669584; using 1234."},
        {"MaxMessage at its limit", [] { SetNumber("MaxMessage", 7669584); },
         [](const ServiceSettings& s) { EXPECT_EQ(s.maxMessage, 7669584u); }, ""},
        {"StrictClientAccess 2", [] { SetNumber("StrictClientAccess", 2); },
         [](const ServiceSettings& s) { EXPECT_TRUE(s.strictClientAccess); },
         "StrictClientAccess 2 is neither 0 nor 1; every account gets only what a client needs."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteTree(kSettingsKeyPath);
        SetNumber("SaveRate", 77);
        c.store();
        settings = ServiceSettings();
        ZintarUtil::SetLogFile(log.path);
        EXPECT_NO_THROW(LoadSettings(settings, settingsMutex));
        ZintarUtil::SetLogFile("");
        c.check(settings);
        const std::string logged = ZintarTest::ReadWholeFile(log.path);
        EXPECT_TRUE(*c.logged == '\0' ? logged.empty() : logged.find(c.logged) != std::string::npos) << logged;
        std::remove(log.path.c_str());
    }
}
