#include "util/Exceptions.h"

#include <gtest/gtest.h>

#include <memory>

#include "util/SystemError.h"

using namespace ZintarUtil::Exceptions;

TEST(Exceptions, WithoutCauseTheFullMessageIsTheTextAlone)
{
    ExceptionBase e("Failed to start");
    EXPECT_EQ(e.GetFullMessage(" | "), "Failed to start");
    EXPECT_STREQ(e.what(), "Failed to start");
    EXPECT_EQ(e.Inner(), nullptr);
}

TEST(Exceptions, ChainOfThreeUsesTheSeparatorOnlyForTheFirstLink)
{
    ExceptionBase c("C");
    ExceptionBase b("B", &c);
    ExceptionBase a("A", &b);
    EXPECT_EQ(a.GetFullMessage(" | "), "A | B\nC");
    EXPECT_STREQ(a.what(), "A\nB\nC");
}

TEST(Exceptions, CaughtCauseSurvivesTheCatchBlock)
{
    try {
        try {
            throw ExceptionFileMapIO("inner");
        } catch (const ExceptionBase& e) {
            throw ExceptionBase("outer", &e);
        }
    } catch (const ExceptionBase& e) {
        EXPECT_EQ(e.GetFullMessage("\n"), "outer\ninner");
    }
}

TEST(Exceptions, CloneCopiesTheWholeChainAndTheClass)
{
    ExceptionWindows root("CloseHandle() failed:", nullptr, 6);
    ExceptionFileMapIO middle("middle", &root);
    ExceptionBase top("top", &middle);
    std::unique_ptr<ExceptionBase> copy(top.Clone());
    EXPECT_EQ(copy->GetFullMessage("\n"), top.GetFullMessage("\n"));
    ASSERT_NE(copy->Inner(), top.Inner());
    EXPECT_NE(dynamic_cast<const ExceptionFileMapIO*>(copy->Inner()), nullptr);
    const auto* windows = dynamic_cast<const ExceptionWindows*>(copy->Inner()->Inner());
    ASSERT_NE(windows, nullptr);
    EXPECT_EQ(windows->ErrorCode(), 6u);
}

TEST(Exceptions, WindowsTextCarriesCodeAndSystemText)
{
    ExceptionWindows e("CloseHandle() failed:", nullptr, 6);
    EXPECT_EQ(e.GetMessageText(), "CloseHandle() failed: - Error code : 6 - " + ZintarUtil::SystemErrorText(6));
    ExceptionBase wrapper("Failed to destroy Event object", &e);
    EXPECT_EQ(wrapper.GetFullMessage("\n"), "Failed to destroy Event object\n" + e.GetMessageText());
}

TEST(Exceptions, WindowsCloneKeepsTheCodeWithoutReadingTheLastErrorAgain)
{
    ExceptionWindows e("call failed", nullptr, 1234);
    std::unique_ptr<ExceptionBase> copy(e.Clone());
    auto* windows = dynamic_cast<ExceptionWindows*>(copy.get());
    ASSERT_NE(windows, nullptr);
    EXPECT_EQ(windows->ErrorCode(), 1234u);
    EXPECT_EQ(copy->GetMessageText(), e.GetMessageText());
}

TEST(Exceptions, SystemTextForAnUnknownCodeStillComposes)
{
    const std::string text = ZintarUtil::SystemErrorText(0x7FFFFFF0);
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
}
