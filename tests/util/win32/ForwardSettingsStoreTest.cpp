#include "util/win32/ForwardSettingsStore.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "util/Exceptions.h"
#include "util/ZintarNames.h"

using namespace ZintarUtil;

// The revocation setting as `install` stores it and the service reads it; a value nobody can mean
// is refused with its name.
TEST(ForwardSettingsStore, RevocationRoundTrip)
{
    ForwardSettings settings;
    settings.to = "relp+tls://collector.example:2514";
    for (const RevocationCheck check : {RevocationCheck::Off, RevocationCheck::Hard, RevocationCheck::Soft}) {
        settings.revocation = check;
        WriteForwardSettings(settings);
        EXPECT_EQ(ReadForwardSettings().value_or(ForwardSettings{}).revocation, check) << RevocationText(check);
    }
    const char wrong[] = "strict";
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, kForwardKeyPath, "Revocation", REG_SZ, wrong, sizeof wrong);
    try {
        ReadForwardSettings();
        ADD_FAILURE() << "a wrong Revocation value was read";
    } catch (const Exceptions::ExceptionBase& e) {
        EXPECT_NE(std::string(e.what()).find("Revocation takes off, soft or hard, not 'strict'"), std::string::npos)
            << e.what();
    }
    DeleteForwardSettings();
}
