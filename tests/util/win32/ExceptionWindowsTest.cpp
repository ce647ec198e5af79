#include <gtest/gtest.h>

#include <windows.h>

#include "util/Exceptions.h"

using namespace ZintarUtil::Exceptions;

TEST(ExceptionWindows, TakesTheLastErrorWhenNoCodeIsGiven)
{
    SetLastError(6);
    ExceptionWindows e("CloseHandle() failed:");
    EXPECT_EQ(e.ErrorCode(), 6u);
    EXPECT_EQ(e.GetMessageText(), "CloseHandle() failed: - Error code : 6 - Invalid handle.\r\n");
}

TEST(ExceptionWindows, ChainReadsOutermostFirst)
{
    SetLastError(6);
    ExceptionWindows cause("CloseHandle() failed:");
    ExceptionBase wrapper("Failed to destroy Event object", &cause);
    EXPECT_EQ(wrapper.GetFullMessage("\n"),
              "Failed to destroy Event object\nCloseHandle() failed: - Error code : 6 - Invalid handle.\r\n");
}
