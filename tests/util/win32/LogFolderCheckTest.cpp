#include "util/win32/LogFolderCheck.h"

#include <gtest/gtest.h>

#include "tests/support/TestFiles.h"
#include "util/win32/SecurityDescriptors.h"

using namespace ZintarUtil;

namespace {

// A new folder at `owned` whose own DACL, not inherited, grants SYSTEM and Administrators full
// control and Everyone `everyoneRights` when they are not 0.
std::string FolderWithAccess(const ZintarTest::TemporaryFile& owned, DWORD everyoneRights)
{
    const std::string& folder = owned.path;
    EXPECT_NE(CreateDirectoryA(folder.c_str(), nullptr), 0);
    SecurityIdentifier system(SID_IDENTIFIER_AUTHORITY{SECURITY_NT_AUTHORITY});
    system.AddSubAuthority(SECURITY_LOCAL_SYSTEM_RID);
    SecurityIdentifier admins(SID_IDENTIFIER_AUTHORITY{SECURITY_NT_AUTHORITY});
    admins.AddSubAuthority(SECURITY_BUILTIN_DOMAIN_RID);
    admins.AddSubAuthority(DOMAIN_ALIAS_RID_ADMINS);
    SecurityIdentifier everyone(SID_IDENTIFIER_AUTHORITY{SECURITY_WORLD_SID_AUTHORITY});
    everyone.AddSubAuthority(SECURITY_WORLD_RID);
    AccessControlList acl;
    acl.AddExplicitAccess(SET_ACCESS, FILE_ALL_ACCESS, TRUSTEE_IS_WELL_KNOWN_GROUP, system);
    acl.AddExplicitAccess(SET_ACCESS, FILE_ALL_ACCESS, TRUSTEE_IS_ALIAS, admins);
    if (everyoneRights != 0)
        acl.AddExplicitAccess(SET_ACCESS, everyoneRights, TRUSTEE_IS_WELL_KNOWN_GROUP, everyone);
    EXPECT_EQ(SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    acl.GetACL(), nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    return folder;
}

}  // namespace

TEST(LogFolderCheck, FolderOpenToEveryoneIsRefusedAndAnAdminOnlyOnePasses)
{
    const ZintarTest::TemporaryFile openFolder("open-log-folder"), adminFolder("admin-log-folder");
    const std::string open = FolderWithAccess(openFolder, FILE_ADD_FILE);
    const std::string closed = FolderWithAccess(adminFolder, 0);

    const auto refusal = RefusalOfLogFolder(open + "\\Logs.dat");
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->rfind("its folder " + open + " lets Everyone add files", 0), 0u) << *refusal;
    EXPECT_EQ(RefusalOfLogFolder(closed + "\\Logs.dat").value_or("(passes)"), "(passes)");
    EXPECT_EQ(RefusalOfLogFolder(closed + "\\missing\\Logs.dat").value_or("(passes)"), "(passes)");
}

TEST(LogFolderCheck, PathThroughALinkIsRefused)
{
    const ZintarTest::TemporaryFile targetFolder("link-target"), linkFolder("log-folder-link");
    const std::string target = FolderWithAccess(targetFolder, 0);
    const std::string& link = linkFolder.path;
    const bool made = CreateSymbolicLinkA(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) != 0;
    const DWORD attributes = GetFileAttributesA(link.c_str());
    if (!made || attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        // Wine 8 answers CreateSymbolicLink with success and makes nothing; Windows needs a privilege.
        GTEST_SKIP() << "this system made no link";
    }
    EXPECT_EQ(RefusalOfLogFolder(link + "\\Logs.dat").value_or("(passes)").rfind("its path goes through " + link, 0),
              0u);
}

// Wine gives a Linux folder an access list from its mode bits: /tmp (1777, the sticky bit unseen)
// lets Everyone add, delete and rename entries, so it is refused as the log folder and as any log
// folder's parent; a folder of mode 755 made inside it passes on its own rights. The folder held
// by the check cannot be renamed on Windows; Wine does not enforce that, so it is not asked here.
TEST(LogFolderCheck, LinuxFoldersOfMode777AreRefusedAsTheFolderAndAsAParent)
{
    const std::string tmp = "Z:\\tmp";
    const ZintarTest::TemporaryFile nameOnly("mode-755-log-folder");
    const std::string inside = tmp + "\\" + nameOnly.path.substr(nameOnly.path.find_last_of('\\') + 1);
    ASSERT_NE(CreateDirectoryA(inside.c_str(), nullptr), 0);
    struct Row {
        const char* name;
        std::string logFile;
        std::string refusal;  // its start
    };
    const Row rows[] = {
        {"the folder of mode 1777", tmp + "\\Logs.dat",
         "its folder " + tmp + " lets Everyone add files, add subfolders and delete files"},
        {"its parent of mode 1777", inside + "\\Logs.dat",
         "its folder " + inside + " could be moved away and another put in its place: " + tmp +
             " lets Everyone delete files and rename it"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string refusal = RefusalOfLogFolder(row.logFile).value_or("(passes)");
        EXPECT_EQ(refusal.rfind(row.refusal, 0), 0u) << refusal;
    }
    RemoveDirectoryA(inside.c_str());
}
