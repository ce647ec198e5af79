#include "util/win32/LogFolderCheck.h"

#include <windows.h>

#include <aclapi.h>

#include "util/FolderAccess.h"
#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

static_assert(FolderRights::kAddFile == FILE_ADD_FILE && FolderRights::kAddSubfolder == FILE_ADD_SUBDIRECTORY &&
              FolderRights::kDeleteChild == FILE_DELETE_CHILD && FolderRights::kWriteDac == WRITE_DAC &&
              FolderRights::kWriteOwner == WRITE_OWNER && FolderRights::kGenericAll == GENERIC_ALL &&
              FolderRights::kGenericWrite == GENERIC_WRITE);

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

// Allow and deny entries only: the object and callback kinds do not occur on files.
FolderDacl ToFolderDacl(const ACL* acl)
{
    FolderDacl dacl;
    dacl.present = acl != nullptr;
    if (acl == nullptr)
        return dacl;
    const BroadGroupSids groups;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (GetAce(const_cast<ACL*>(acl), i, &ace) == 0)
            continue;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE)
            continue;
        // Both kinds share one layout: header, mask, SID.
        auto* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        dacl.entries.push_back({groups.Classify(&entry->SidStart), header->AceType == ACCESS_ALLOWED_ACE_TYPE,
                                entry->Mask, (header->AceFlags & INHERIT_ONLY_ACE) != 0});
    }
    return dacl;
}

std::optional<std::string> RefusalOfAccessList(const std::string& folder)
{
    PACL acl = nullptr;  // within the descriptor
    UniqueLocalMemory descriptor;
    if (GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl,
                              nullptr, descriptor.Put()) != ERROR_SUCCESS)
        return std::nullopt;
    const std::optional<std::string> refusal = FolderWriteRefusal(ToFolderDacl(acl));
    if (!refusal)
        return std::nullopt;
    return "its folder " + folder + " " + *refusal + kWhy;
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

}  // namespace

std::optional<std::string> RefusalOfLogFolder(const std::string& logFilePath)
{
    // Sized by asking first: a long "\\?\" path must not slip past the check.
    std::string full(GetFullPathNameA(logFilePath.c_str(), 0, nullptr, nullptr), '\0');
    const DWORD length = GetFullPathNameA(logFilePath.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size())
        return std::nullopt;
    full.resize(length);
    const std::string folder = FolderOfFile(full);
    if (auto refusal = RefusalOfLinks(folder))
        return refusal;
    return RefusalOfAccessList(folder);
}

}  // namespace ZintarUtil
