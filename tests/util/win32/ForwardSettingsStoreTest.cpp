#include "util/win32/ForwardSettingsStore.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "util/Exceptions.h"
#include "util/ZintarNames.h"

using namespace ZintarUtil;

// The revocation setting as `install` stores it and the service reads it; settings stored before
// it existed read as soft, a value nobody can mean is refused with its name.
TEST(ForwardSettingsStore, RevocationRoundTrip)
{
    ForwardSettings settings;
    settings.to = "relp+tls://collector.example:2514";
    for (const RevocationCheck check : {RevocationCheck::Off, RevocationCheck::Hard, RevocationCheck::Soft}) {
        settings.revocation = check;
        WriteForwardSettings(settings);
        const std::optional<ForwardSettings> back = ReadForwardSettings();
        ASSERT_TRUE(back);
        EXPECT_EQ(back->revocation, check) << RevocationText(check);
    }
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kForwardKeyPath, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    settings.revocation = RevocationCheck::Off;
    WriteForwardSettings(settings);
    RegDeleteValueA(key, "Revocation");
    EXPECT_EQ(ReadForwardSettings()->revocation, RevocationCheck::Soft);
    const char wrong[] = "strict";
    RegSetValueExA(key, "Revocation", 0, REG_SZ, reinterpret_cast<const BYTE*>(wrong), sizeof wrong);
    RegCloseKey(key);
    try {
        ReadForwardSettings();
        ADD_FAILURE() << "a wrong Revocation value was read";
    } catch (const Exceptions::ExceptionBase& e) {
        EXPECT_NE(std::string(e.what()).find("Revocation takes off, soft or hard, not 'strict'"), std::string::npos)
            << e.what();
    }
    DeleteForwardSettings();
}
