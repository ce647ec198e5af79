#include "util/FolderAccess.h"

#include <gtest/gtest.h>

using namespace ZintarUtil;
using namespace ZintarUtil::FolderRights;

namespace {

constexpr auto kEveryone = BroadGroup::Everyone;
constexpr auto kUsers = BroadGroup::Users;
constexpr auto kOther = BroadGroup::Other;
constexpr std::uint32_t kFullControl = 0x1F01FF;
constexpr std::uint32_t kReadAndExecute = 0x1200A9;
constexpr std::uint32_t kModify = 0x1301BF;  // everything but re-permissioning and FILE_DELETE_CHILD

FolderAccessEntry Allow(BroadGroup group, std::uint32_t mask)
{
    return {group, true, mask, false};
}
FolderAccessEntry Deny(BroadGroup group, std::uint32_t mask)
{
    return {group, false, mask, false};
}

}  // namespace

TEST(FolderWriteRefusal, Table)
{
    struct Row {
        const char* name;
        FolderDacl dacl;
        const char* refusal;  // nullptr: the folder passes
    };
    const Row rows[] = {
        {"null DACL", {false, {}}, "has no access list at all, which lets everyone do anything in it"},
        {"empty DACL", {true, {}}, nullptr},
        {"SYSTEM and Administrators only", {true, {Allow(kOther, kFullControl), Allow(kOther, kGenericAll)}}, nullptr},
        {"everyone reads", {true, {Allow(kOther, kFullControl), Allow(kEveryone, kReadAndExecute)}}, nullptr},
        {"everyone adds files", {true, {Allow(kEveryone, kAddFile)}}, "lets Everyone add files"},
        {"delete-child alone", {true, {Allow(kUsers, kDeleteChild)}}, "lets Users delete files"},
        {"modify", {true, {Allow(BroadGroup::Interactive, kModify)}}, "lets INTERACTIVE add files and add subfolders"},
        {"GENERIC_ALL",
         {true, {Allow(BroadGroup::AuthenticatedUsers, kGenericAll)}},
         "lets Authenticated Users add files, add subfolders, delete files, change its permissions and take its "
         "ownership"},
        {"GENERIC_WRITE", {true, {Allow(kUsers, kGenericWrite)}}, "lets Users add files and add subfolders"},
        {"WRITE_OWNER alone", {true, {Allow(kEveryone, kWriteOwner)}}, "lets Everyone take its ownership"},
        {"inherit-only", {true, {{kEveryone, true, kGenericAll, true}, {kUsers, false, kFullControl, true}}}, nullptr},
        {"deny for Everyone covers Users", {true, {Deny(kEveryone, kAddFile), Allow(kUsers, kAddFile)}}, nullptr},
        {"deny takes only its bits",
         {true, {Deny(kUsers, kDeleteChild | kWriteDac), Allow(kUsers, kFullControl)}},
         "lets Users add files, add subfolders and take its ownership"},
        {"allow before deny wins", {true, {Allow(kUsers, kAddFile), Deny(kUsers, kAddFile)}}, "lets Users add files"},
        {"deny for Users leaves Everyone",
         {true, {Deny(kUsers, kAddFile), Allow(kEveryone, kAddFile)}},
         "lets Everyone add files"},
        {"deny for another SID",
         {true, {Deny(kOther, kFullControl), Allow(kUsers, kAddSubfolder)}},
         "lets Users add subfolders"},
        {"two groups",
         {true, {Allow(kUsers, kDeleteChild), Allow(kEveryone, kWriteDac)}},
         "lets Everyone change its permissions, and lets Users delete files"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<std::string> refusal = FolderWriteRefusal(row.dacl);
        EXPECT_EQ(refusal.value_or("(passes)"), row.refusal != nullptr ? row.refusal : "(passes)");
    }
}

TEST(FolderOfFile, FoldersBelowRootTable)
{
    struct Row {
        const char* file;
        const char* folder;
        std::vector<std::string> belowRoot;
    };
    const Row rows[] = {
        {"C:\\a\\b\\Logs.dat", "C:\\a\\b", {"C:\\a", "C:\\a\\b"}},
        {"C:\\Logs.dat", "C:\\", {}},
        {"\\\\srv\\share\\Logs.dat", "\\\\srv\\share\\", {}},
        {"\\\\srv\\share\\x\\Logs.dat", "\\\\srv\\share\\x", {"\\\\srv\\share\\x"}},
        {"\\\\?\\C:\\x\\Logs.dat", "\\\\?\\C:\\x", {"\\\\?\\C:\\x"}},
        {"\\\\?\\UNC\\srv\\share\\x\\Logs.dat", "\\\\?\\UNC\\srv\\share\\x", {"\\\\?\\UNC\\srv\\share\\x"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const std::string folder = FolderOfFile(row.file);
        EXPECT_EQ(folder, row.folder);
        EXPECT_EQ(FoldersBelowRoot(folder), row.belowRoot);
    }
}
