#include "util/win32/LogFolderCheck.h"

#include <windows.h>

#include <aclapi.h>

#include "util/FolderAccess.h"
#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

static_assert(FolderRights::kAddFile == FILE_ADD_FILE && FolderRights::kAddSubfolder == FILE_ADD_SUBDIRECTORY &&
              FolderRights::kDeleteChild == FILE_DELETE_CHILD && FolderRights::kDelete == DELETE &&
              FolderRights::kWriteDac == WRITE_DAC && FolderRights::kWriteOwner == WRITE_OWNER &&
              FolderRights::kGenericAll == GENERIC_ALL && FolderRights::kGenericWrite == GENERIC_WRITE);

FolderDacl FolderDaclOf(const ACL* acl, const std::function<BroadGroup(PSID)>& classify)
{
    FolderDacl dacl;
    dacl.present = acl != nullptr;
    if (acl == nullptr)
        return dacl;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (GetAce(const_cast<ACL*>(acl), i, &ace) == 0)
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE)
            continue;
        // Both kinds share one layout: header, mask, SID.
        auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        dacl.entries.push_back({classify(&entry->SidStart), header->AceType == ACCESS_ALLOWED_ACE_TYPE, entry->Mask,
                                (header->AceFlags & INHERIT_ONLY_ACE) != 0});
    }
    return dacl;
}

namespace {

constexpr const char* kWhy = "; a link planted there could turn the service's writes onto another file";

class BroadGroupSids {
public:
    BroadGroupSids()
    {
        for (Known& known : table) {
            DWORD size = sizeof known.sid;
            if (CreateWellKnownSid(known.type, nullptr, known.sid, &size) == 0)
                known.sid[0] = 0;  // revision 0 matches no stored SID
        }
    }

    BroadGroup Classify(PSID sid) const
    {
        for (const Known& known : table)
            if (known.sid[0] != 0 && EqualSid(sid, const_cast<BYTE*>(known.sid)))
                return known.group;
        return BroadGroup::Other;
    }

private:
    struct Known {
        WELL_KNOWN_SID_TYPE type;
        BroadGroup group;
        BYTE sid[SECURITY_MAX_SID_SIZE];
    };
    Known table[4] = {
        {WinWorldSid, BroadGroup::Everyone, {}},
        {WinBuiltinUsersSid, BroadGroup::Users, {}},
        {WinAuthenticatedUserSid, BroadGroup::AuthenticatedUsers, {}},
        {WinInteractiveSid, BroadGroup::Interactive, {}},
    };
};

FolderDacl ToFolderDacl(const ACL* acl, PSID owner)
{
    const BroadGroupSids groups;
    FolderDacl dacl = FolderDaclOf(acl, [&](PSID sid) { return groups.Classify(sid); });
    dacl.owner = owner != nullptr ? groups.Classify(owner) : BroadGroup::Other;
    return dacl;
}

constexpr SECURITY_INFORMATION kOwnerAndDacl = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Nothing when the security cannot be read: that is no reason to refuse here.
std::optional<FolderDacl> FolderDaclOf(HANDLE folder)
{
    PACL acl = nullptr;  // both within the descriptor
    PSID owner = nullptr;
    UniqueLocalMemory descriptor;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, kOwnerAndDacl, &owner, nullptr, &acl, nullptr, descriptor.Put()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return ToFolderDacl(acl, owner);
}

std::optional<FolderDacl> FolderDaclOf(const std::string& folder)
{
    PACL acl = nullptr;
    PSID owner = nullptr;
    UniqueLocalMemory descriptor;
    if (GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, kOwnerAndDacl, &owner, nullptr, &acl, nullptr,
                              descriptor.Put()) != ERROR_SUCCESS)
        return std::nullopt;
    return ToFolderDacl(acl, owner);
}

std::optional<std::string> RefusalOfLinks(const std::string& folder)
{
    for (const std::string& step : FoldersBelowRoot(folder)) {
        const DWORD attributes = GetFileAttributesA(step.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return "its path goes through " + step +
                   ", a link or junction, which could lead the service's writes anywhere";
    }
    return std::nullopt;
}

// GetFinalPathNameByHandle's answer in the form the path was given: "\\?\C:\x" as "C:\x",
// "\\?\UNC\srv\share" as "\\srv\share".
std::string WithoutLongPrefix(const std::string& path)
{
    if (path.rfind("\\\\?\\UNC\\", 0) == 0)
        return "\\\\" + path.substr(8);
    if (path.rfind("\\\\?\\", 0) == 0)
        return path.substr(4);
    return path;
}

// Where the open handle really leads, against the path that was checked (in its long form, so
// that an 8.3 name is no reason): a link the attribute walk could not see, a substituted or
// mapped drive, or a folder swapped in before the open.
std::optional<std::string> RefusalOfFinalPath(HANDLE folder, const std::string& path)
{
    std::string final(MAX_PATH, '\0');
    DWORD length = GetFinalPathNameByHandleA(folder, final.data(), static_cast<DWORD>(final.size()), 0);
    if (length >= final.size()) {
        final.resize(length);
        length = GetFinalPathNameByHandleA(folder, final.data(), static_cast<DWORD>(final.size()), 0);
    }
    if (length == 0 || length >= final.size())
        return std::nullopt;
    final.resize(length);
    std::string expected(GetLongPathNameA(path.c_str(), nullptr, 0), '\0');
    const DWORD longLength = GetLongPathNameA(path.c_str(), expected.data(), static_cast<DWORD>(expected.size()));
    expected.resize(longLength != 0 && longLength < expected.size() ? longLength : 0);
    if (expected.empty())
        expected = path;
    final = WithoutLongPrefix(final);
    if (lstrcmpiA(final.c_str(), WithoutLongPrefix(expected).c_str()) == 0)
        return std::nullopt;
    return "its path " + path + " leads to " + final +
           ", through a link, a junction or a substituted drive, which could lead the service's writes anywhere";
}

std::string FullPathOf(const std::string& path)
{
    // Sized by asking first: a long "\\?\" path must not slip past the check.
    std::string full(GetFullPathNameA(path.c_str(), 0, nullptr, nullptr), '\0');
    const DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size())
        return std::string();
    full.resize(length);
    return full;
}

}  // namespace

// The folders above are read by name: with the log folder held open none of them can be renamed.
CheckedLogFolder::CheckedLogFolder(const std::string& logFilePath)
{
    const std::string full = FullPathOf(logFilePath);
    if (full.empty())
        return;
    const std::string folderPath = FolderOfFile(full);
    if ((refusal = RefusalOfLinks(folderPath)))
        return;
    // No FILE_SHARE_DELETE: from here on the folder stays where it is. A link at the folder itself
    // is opened as the link, whose final path then differs.
    folder.Reset(CreateFileA(folderPath.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder)
        return;
    if ((refusal = RefusalOfFinalPath(folder.Get(), folderPath)))
        return;
    const std::optional<FolderDacl> own = FolderDaclOf(folder.Get());
    if (own) {
        if (const auto ownRefusal = FolderWriteRefusal(*own)) {
            refusal = "its folder " + folderPath + " " + *ownRefusal + kWhy;
            return;
        }
    }
    std::vector<FolderOnPath> path;
    const std::string root = FolderRoot(folderPath);
    std::vector<std::string> names = FoldersBelowRoot(folderPath);
    if (!root.empty())
        names.insert(names.begin(), root);
    for (const std::string& name : names) {
        const bool last = &name == &names.back();
        std::optional<FolderDacl> dacl = last ? own : FolderDaclOf(name);
        if (dacl)
            path.push_back({name, *dacl});
    }
    if (path.empty() || path.back().path != folderPath)
        return;  // the log folder's own security could not be read
    if (const auto replaceRefusal = FolderReplaceRefusal(path))
        refusal = *replaceRefusal + kWhy;
}

std::optional<std::string> RefusalOfLogFolder(const std::string& logFilePath)
{
    return CheckedLogFolder(logFilePath).Refusal();
}

}  // namespace ZintarUtil
