// The settings in the registry of the run's private Wine prefix.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <map>

#include "DiagnosticLog.h"
#include "Exceptions.h"
#include "RegistryKey.h"
#include "SettingsStore.h"
#include "TestFiles.h"
#include "TextHelpers.h"

using namespace ZintarServer;
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

TEST_F(SettingsStore, ValuesTooLongForTheirBufferFailToReadAndKeepWhatWasRead)
{
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {{"LogFile", "C:\\" + std::string(300, 'x')}, {"SaveRate", "far longer than four bytes"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteTree(kSettingsKeyPath);
        settings = ServiceSettings();
        SetString(kSettingsKeyPath, c.name, c.text);
        try {
            LoadSettings(settings, settingsMutex);
            ADD_FAILURE() << "no exception";
        } catch (const ZintarUtil::Exceptions::ExceptionWindows& e) {
            EXPECT_EQ(e.GetMessageText().rfind("ReadData() failed - Error code : 234 - ", 0), 0u);
        }
    }
    EXPECT_EQ(settings.maxMessage, 50000u) << "read before the failure, and kept";
    SetString(kSettingsKeyPath, "LogFile", "C:\\" + std::string(252, 'x'));  // 255 characters fit
    SetNumber("SaveRate", 5);
    EXPECT_NO_THROW(LoadSettings(settings, settingsMutex));
}

TEST_F(SettingsStore, UnusableMessageLimitIsReplacedByTheDefault)
{
    const std::string logPath = ZintarTest::TemporaryPath("settings-log");
    ZintarUtil::SetLogFile(logPath);
    for (std::uint32_t stored : {0u, 7669585u}) {
        SetNumber("MaxMessage", stored);
        LoadSettings(settings, settingsMutex);
        EXPECT_EQ(settings.maxMessage, 50000u);
        EXPECT_EQ(settings.requestedMaxMessage, 50000u);
    }
    ZintarUtil::SetLogFile("");
    EXPECT_NE(ZintarTest::ReadWholeFile(logPath).find(" - MaxMessage 0 is outside 1 to 7669584; using 50000.\r\n"),
              std::string::npos);
    std::remove(logPath.c_str());
    SetNumber("MaxMessage", 7669584);
    LoadSettings(settings, settingsMutex);
    EXPECT_EQ(settings.maxMessage, 7669584u);
}
