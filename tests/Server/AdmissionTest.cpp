#include "Server/Admission.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/LogImageBuilder.h"

using namespace ZintarServer;

namespace {

struct AdmissionCase {
    const char* name;
    std::vector<std::string> include;
    std::vector<std::string> exclude;
    std::uint32_t disabledTypes;  // bit i turns type i off
    std::uint32_t type;
    std::string text;  // "<unterminated>" fills the text field with 'q' and no NUL
    bool unterminatedAux;
    bool admitted;
};

ZintarUtil::LogMessage MessageFor(const AdmissionCase& row)
{
    ZintarUtil::LogMessage message = ZintarTest::MessageWithKey(1, row.text);
    message.type = row.type;
    if (row.text == "<unterminated>")
        std::memset(message.text, 'q', sizeof message.text);
    if (row.unterminatedAux)
        std::memset(message.auxText, 'z', sizeof message.auxText);
    return message;
}

}  // namespace

TEST(Admission, Table)
{
    const std::string q256 = std::string(256, 'q');
    const AdmissionCase cases[] = {
        {"enabled type, no filters", {}, {}, 0, 1, "x", false, true},
        {"disabled type", {}, {}, 1u << 2, 2, "x", false, false},
        {"every type disabled", {}, {}, 0xF, 0, "x", false, false},
        {"type 4 has no flag", {}, {}, 0, 4, "x", false, false},
        {"largest type", {}, {}, 0, 0xFFFFFFFF, "x", false, false},
        {"include match ignores exclude", {"abc"}, {"abc"}, 0, 0, "Abc-123", false, true},
        {"include miss", {"abc"}, {}, 0, 0, "xyz", false, false},
        {"exclude match", {}, {"err"}, 0, 0, "Error 5", false, false},
        {"text prefix of exclude", {}, {"err"}, 0, 0, "e", false, false},
        {"exclude miss", {}, {"err"}, 0, 0, "warning", false, true},
        {"empty text, include", {"abc"}, {}, 0, 0, "", false, true},
        {"empty text, exclude", {}, {"abc"}, 0, 0, "", false, false},
        {"empty include entry", {""}, {}, 0, 0, "anything", false, true},
        {"case folds at Z", {"zz"}, {}, 0, 0, "ZZtop", false, true},
        {"Z is not [", {"["}, {}, 0, 0, "Z", false, false},
        {"text without NUL", {}, {}, 0, 0, "<unterminated>", false, false},
        {"auxText without NUL", {}, {}, 0, 0, "x", true, false},
        {"text of 256, prefix of the entry", {q256 + "z"}, {}, 0, 0, q256, false, true},
        {"text of 256, differs at its end", {q256.substr(1) + "z"}, {}, 0, 0, q256, false, false},
        {"text of 256 is a prefix", {q256}, {}, 0, 0, q256, false, true},
    };
    for (const AdmissionCase& row : cases) {
        SCOPED_TRACE(row.name);
        ServiceSettings settings;
        settings.includeFilters = row.include;
        settings.excludeFilters = row.exclude;
        for (std::uint32_t i = 0; i < kMessageTypes; ++i)
            settings.typeEnabled[i] = (row.disabledTypes & (1u << i)) == 0;
        EXPECT_EQ(Admits(settings, MessageFor(row)), row.admitted);
    }
}

TEST(Admission, StoredFilterValuesAreSortedByTheirFirstCharacter)
{
    ServiceSettings settings;
    for (const char* value : {"iCamera", "eCamera", "xCamera", "ICamera", "", "i"})
        AddStoredFilter(settings, value);
    EXPECT_EQ(settings.includeFilters, (std::vector<std::string>{"Camera", ""}));
    EXPECT_EQ(settings.excludeFilters, (std::vector<std::string>{"Camera", "Camera", "Camera"}));
}
