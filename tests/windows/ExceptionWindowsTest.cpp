#include <gtest/gtest.h>

#include <windows.h>

#include <memory>

#include "Exceptions.h"

using namespace ZintarUtil::Exceptions;

TEST(ExceptionWindows, TakesTheLastErrorWhenNoCodeIsGiven)
{
    SetLastError(6);
    ExceptionWindows e("CloseHandle() failed:");
    EXPECT_EQ(e.ErrorCode(), 6u);
    EXPECT_EQ(e.GetMessageText(), "CloseHandle() failed: - Error code : 6 - Invalid handle.\r\n");
}

TEST(ExceptionWindows, GivenCodeReplacesTheLastError)
{
    SetLastError(6);
    ExceptionWindows e("ReadData() failed", nullptr, 234);
    EXPECT_EQ(e.ErrorCode(), 234u);
}

TEST(ExceptionWindows, CodeZeroGivesTheSystemTextForSuccess)
{
    SetLastError(0);
    ExceptionWindows e("nothing failed");
    char* text = nullptr;
    FormatMessageA(0x1300, nullptr, 0, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(e.GetMessageText(), std::string("nothing failed - Error code : 0 - ") + text);
    LocalFree(text);
}

TEST(ExceptionWindows, ChainReadsOutermostFirst)
{
    SetLastError(6);
    ExceptionWindows cause("CloseHandle() failed:");
    ExceptionBase wrapper("Failed to destroy Event object", &cause);
    EXPECT_EQ(wrapper.GetFullMessage("\n"),
              "Failed to destroy Event object\nCloseHandle() failed: - Error code : 6 - Invalid handle.\r\n");
}

