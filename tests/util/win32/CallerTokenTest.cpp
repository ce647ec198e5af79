#include "util/win32/CallerToken.h"

#include <gtest/gtest.h>

#include <windows.h>

// Every process here runs as an elevated administrator; a restricted copy of its token, with
// Administrators for deny only, stands for a user without elevation, as User Account Control
// filters one.
TEST(CallerToken, AnElevatedTokenIsAnAdministratorAndARestrictedOneIsNot)
{
    HANDLE own = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, &own));
    EXPECT_TRUE(ZintarUtil::TokenIsAdministrator(own));

    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
    SID_AND_ATTRIBUTES denyOnly{administrators, 0};
    HANDLE restricted = nullptr;
    ASSERT_TRUE(CreateRestrictedToken(own, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &restricted));
    EXPECT_FALSE(ZintarUtil::TokenIsAdministrator(restricted));
    EXPECT_FALSE(ZintarUtil::TokenIsAdministrator(nullptr)) << "a token that cannot be examined is nobody's";
    CloseHandle(restricted);
    CloseHandle(own);
}
