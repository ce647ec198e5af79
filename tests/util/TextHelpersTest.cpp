#include "util/TextHelpers.h"

#include <gtest/gtest.h>

#include "util/Exceptions.h"

using namespace ZintarUtil;

TEST(TextHelpers, DecimalConversions)
{
    EXPECT_EQ(UIntToString(0), "0");
    EXPECT_EQ(UIntToString(4294967295u), "4294967295");
    EXPECT_EQ(IntToString(-1), "-1");
    EXPECT_EQ(IntToString(INT32_MIN), "-2147483648");
    EXPECT_EQ(IntToString(42), "42");
}

TEST(TextHelpers, ToLowerAsciiTouchesOnlyCapitals)
{
    EXPECT_EQ(ToLowerAscii("Driver ABC-xyz @[`{"), "driver abc-xyz @[`{");
    const std::string high = "\xC4\xD6\xDC";  // bytes above 127 stay
    EXPECT_EQ(ToLowerAscii(high), high);
}

TEST(TextHelpers, MaskAndFlagsRoundTrip)
{
    bool flags[4] = {true, true, true, true};
    MaskToFlags(10, flags, 4);
    EXPECT_FALSE(flags[0]);
    EXPECT_TRUE(flags[1]);
    EXPECT_FALSE(flags[2]);
    EXPECT_TRUE(flags[3]);
    std::uint32_t mask = 0xFFFF;
    FlagsToMask(mask, flags, 4);
    EXPECT_EQ(mask, 10u);
}

TEST(TextHelpers, ReplaceFileNameKeepsTheDirectory)
{
    EXPECT_EQ(ReplaceFileName("C:\\A\\B\\prog.exe", "Logs.dat", '\\'), "C:\\A\\B\\Logs.dat");
    EXPECT_EQ(ReplaceFileName("/opt/x/prog", "Logs.dat", '/'), "/opt/x/Logs.dat");
}

TEST(TextHelpers, PathWithoutSeparatorIsRefused)
{
    try {
        ReplaceFileName("prog.exe", "Logs.dat", '\\');
        FAIL() << "no exception";
    } catch (const Exceptions::ExceptionBase& e) {
        EXPECT_EQ(e.GetFullMessage("\n"), "Failed to obtain executable's location");
    }
    EXPECT_THROW(ReplaceFileName("", "Logs.dat", '\\'), Exceptions::ExceptionBase);
}

TEST(TextHelpers, ExecutableRelativePathEndsInTheFileName)
{
    const std::string path = GetExecutableRelativePath("Logs.dat");
    ASSERT_GT(path.size(), 9u);
    EXPECT_EQ(path.substr(path.size() - 9, 1).find_first_of("\\/"), 0u);
    EXPECT_EQ(path.substr(path.size() - 8), "Logs.dat");
}

// The shorter of text and entry is a prefix of the longer, ignoring the case of ASCII letters.
TEST(MatchesAnyFilter, Table)
{
    struct Case {
        const char* text;
        std::vector<std::string> list;
        bool matches;
    };
    const Case cases[] = {
        {"", {}, false},
        {"anything", {}, false},
        {"Driver", {"DRV", "drive"}, true},
        {"Driver", {"drivers"}, true},
        {"Driver", {"drv"}, false},
        {"CA", {"cam"}, true},
        {"Camera", {"xyz", ""}, true},
        {"", {"xyz"}, true},
        {"ZZ top", {"zz"}, true},
        {"Zebra", {"z["}, false},
        {"[x]", {"[X"}, true},
        {"@", {"`"}, false},                // 0x40 and 0x60 differ by 32 but are no letters
        {"\xC4rger", {"\xE4rger"}, false},  // nor are bytes above 127
    };
    for (const Case& c : cases)
        EXPECT_EQ(MatchesAnyFilter(c.text, c.list), c.matches) << "'" << c.text << "' against " << c.list.size();
}
