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
        {"an inherit-only deny beside a real allow",
         {true, {{kUsers, false, kAddFile, true}, Allow(kUsers, kAddFile)}},
         "lets Users add files"},
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
        {"owned by Users, access list closed",
         {true, {Allow(kOther, kFullControl)}, kUsers},
         "is owned by Users, who may give themselves any right on it"},
        {"owned by INTERACTIVE, no access list",
         {false, {}, BroadGroup::Interactive},
         "is owned by INTERACTIVE, who may give themselves any right on it"},
        {"owned by another SID", {true, {Allow(kOther, kFullControl)}, kOther}, nullptr},
        {"DELETE on the folder itself is the path rule's", {true, {Allow(kEveryone, kDelete)}}, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<std::string> refusal = FolderWriteRefusal(row.dacl);
        EXPECT_EQ(refusal.value_or("(passes)"), row.refusal != nullptr ? row.refusal : "(passes)");
    }
}

// A path from the root down to the log folder, every folder closed to the broad groups but the one
// at `open`, which gets `dacl`.
static std::vector<FolderOnPath> PathWith(std::size_t open, const FolderDacl& dacl)
{
    std::vector<FolderOnPath> path = {{"C:\\", {}}, {"C:\\a", {}}, {"C:\\a\\Logs", {}}};
    for (FolderOnPath& folder : path)
        folder.dacl = {true, {Allow(kOther, kFullControl), Allow(kEveryone, kReadAndExecute)}};
    path[open].dacl = dacl;
    return path;
}

TEST(FolderReplaceRefusal, Table)
{
    constexpr const char* kMoved = "its folder C:\\a\\Logs could be moved away and another put in its place: ";
    struct Row {
        const char* name;
        std::size_t open;
        FolderDacl dacl;
        const char* refusal;  // after kMoved; nullptr: the path passes
    };
    const Row rows[] = {
        {"the root as Windows ships it: Users add subfolders",
         0,
         {true, {Allow(kUsers, kAddSubfolder | kAddFile)}},
         nullptr},
        {"the root lets Users delete entries",
         0,
         {true, {Allow(kUsers, kDeleteChild)}},
         "C:\\ lets Users delete files"},
        {"the root owned by Everyone",
         0,
         {true, {}, kEveryone},
         "C:\\ is owned by Everyone, who may give themselves any right on it"},
        {"DELETE on the root renames nothing", 0, {true, {Allow(kEveryone, kDelete)}}, nullptr},
        {"a parent re-permissionable",
         1,
         {true, {Allow(BroadGroup::AuthenticatedUsers, kWriteDac)}},
         "C:\\a lets Authenticated Users change its permissions"},
        {"a parent that may be renamed", 1, {true, {Allow(kUsers, kDelete)}}, "C:\\a lets Users rename it"},
        {"a parent of mode 777 under Wine",
         1,
         {true, {Allow(kEveryone, 0x1301FF)}},
         "C:\\a lets Everyone delete files and rename it"},
        {"a parent's delete-child denied first",
         1,
         {true, {Deny(kEveryone, kDeleteChild), Allow(kUsers, kDeleteChild)}},
         nullptr},
        {"a parent's inherit-only grant", 1, {true, {{kEveryone, true, kGenericAll, true}}}, nullptr},
        {"a parent with no access list",
         1,
         {false, {}},
         "C:\\a has no access list at all, which lets everyone do anything in it"},
        {"the log folder may be renamed", 2, {true, {Allow(kUsers, kGenericAll)}}, "C:\\a\\Logs lets Users rename it"},
        {"the log folder's own delete-child is not this rule's", 2, {true, {Allow(kUsers, kDeleteChild)}}, nullptr},
        {"the log folder's owner is not this rule's", 2, {true, {}, kUsers}, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<std::string> refusal = FolderReplaceRefusal(PathWith(row.open, row.dacl));
        EXPECT_EQ(refusal.value_or("(passes)"),
                  row.refusal != nullptr ? kMoved + std::string(row.refusal) : "(passes)");
    }
}

TEST(FolderOfFile, FoldersBelowRootTable)
{
    struct Row {
        const char* file;
        const char* folder;
        const char* root;
        std::vector<std::string> belowRoot;
    };
    const Row rows[] = {
        {"C:\\a\\b\\Logs.dat", "C:\\a\\b", "C:\\", {"C:\\a", "C:\\a\\b"}},
        {"C:\\Logs.dat", "C:\\", "C:\\", {}},
        {"\\\\srv\\share\\Logs.dat", "\\\\srv\\share\\", "\\\\srv\\share\\", {}},
        {"\\\\srv\\share\\x\\Logs.dat", "\\\\srv\\share\\x", "\\\\srv\\share\\", {"\\\\srv\\share\\x"}},
        {"\\\\?\\C:\\x\\Logs.dat", "\\\\?\\C:\\x", "\\\\?\\C:\\", {"\\\\?\\C:\\x"}},
        {"\\\\?\\UNC\\srv\\share\\x\\Logs.dat",
         "\\\\?\\UNC\\srv\\share\\x",
         "\\\\?\\UNC\\srv\\share\\",
         {"\\\\?\\UNC\\srv\\share\\x"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file);
        const std::string folder = FolderOfFile(row.file);
        EXPECT_EQ(folder, row.folder);
        EXPECT_EQ(FolderRoot(row.file), row.root);
        EXPECT_EQ(FoldersBelowRoot(folder), row.belowRoot);
    }
}
