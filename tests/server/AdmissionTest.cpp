#include <gtest/gtest.h>

#include <cstring>

#include "Admission.h"
#include "LogImageBuilder.h"

using namespace ZintarServer;

namespace {

ServiceSettings AllTypes()
{
    ServiceSettings settings;
    for (bool& enabled : settings.typeEnabled)
        enabled = true;
    return settings;
}

ZintarUtil::LogMessage Message(const std::string& text, std::uint32_t type = 0)
{
    ZintarUtil::LogMessage message = ZintarTest::MessageWithKey(1, text);
    message.type = type;
    return message;
}

}  // namespace

TEST(Admission, TypeFlagsDecideFirst)
{
    ServiceSettings settings = AllTypes();
    settings.typeEnabled[2] = false;
    EXPECT_TRUE(Admits(settings, Message("x", 1)));
    EXPECT_FALSE(Admits(settings, Message("x", 2)));
    for (bool& enabled : settings.typeEnabled)
        enabled = false;
    EXPECT_FALSE(Admits(settings, Message("x", 0)));
}

TEST(Admission, TypesWithoutAFlagAreRefused)
{
    EXPECT_FALSE(Admits(AllTypes(), Message("x", 4)));
    EXPECT_FALSE(Admits(AllTypes(), Message("x", 0xFFFFFFFF)));
}

TEST(Admission, IncludeListIgnoresTheExcludeList)
{
    ServiceSettings settings = AllTypes();
    settings.includeFilters = {"abc"};
    settings.excludeFilters = {"abc"};
    EXPECT_TRUE(Admits(settings, Message("Abc-123")));
    EXPECT_FALSE(Admits(settings, Message("xyz")));
}

TEST(Admission, ExcludeListRefusesMatches)
{
    ServiceSettings settings = AllTypes();
    settings.excludeFilters = {"err"};
    EXPECT_FALSE(Admits(settings, Message("Error 5")));
    EXPECT_FALSE(Admits(settings, Message("e")));
    EXPECT_TRUE(Admits(settings, Message("warning")));
}

TEST(Admission, EmptyTextMatchesEveryFilter)
{
    ServiceSettings include = AllTypes();
    include.includeFilters = {"abc"};
    EXPECT_TRUE(Admits(include, Message("")));
    ServiceSettings exclude = AllTypes();
    exclude.excludeFilters = {"abc"};
    EXPECT_FALSE(Admits(exclude, Message("")));
}

TEST(Admission, TextWithoutNulIsReadToTheEndOfItsField)
{
    ServiceSettings settings = AllTypes();
    settings.includeFilters = {std::string(257, 'q')};
    ZintarUtil::LogMessage message = Message("");
    std::memset(message.text, 'q', sizeof message.text);
    std::memset(message.auxText, 'z', sizeof message.auxText);
    EXPECT_TRUE(Admits(settings, message));
    settings.includeFilters = {std::string(257, 'q') + "z"};  // would match only by reading on
    EXPECT_TRUE(Admits(settings, message));  // the shorter (the text) is a prefix of the entry
    settings.includeFilters = {std::string(256, 'q') + "z"};
    EXPECT_FALSE(Admits(settings, message));
}

TEST(Admission, StoredFilterValuesAreSortedByTheirFirstCharacter)
{
    ServiceSettings settings;
    for (const char* value : {"iCamera", "eCamera", "xCamera", "ICamera", "", "i"})
        AddStoredFilter(settings, value);
    EXPECT_EQ(settings.includeFilters, (std::vector<std::string>{"Camera", ""}));
    EXPECT_EQ(settings.excludeFilters, (std::vector<std::string>{"Camera", "Camera", "Camera"}));
}
