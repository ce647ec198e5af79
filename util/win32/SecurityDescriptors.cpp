#include "util/win32/SecurityDescriptors.h"

#include <sddl.h>

#include "util/Exceptions.h"
#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

using Exceptions::ExceptionBase;
using Exceptions::ExceptionWindows;

SecurityIdentifier::SecurityIdentifier(const SID_IDENTIFIER_AUTHORITY& authority) : authority(authority) {}

SecurityIdentifier::~SecurityIdentifier()
{
    if (sid != nullptr)
        FreeSid(sid);
}

void SecurityIdentifier::AddSubAuthority(std::uint32_t value)
{
    if (count == 8)
        throw ExceptionBase("Specifiying more then 8 sub authorites is not supported");
    if (sid != nullptr)
        throw ExceptionBase("Specifiying a new authority after calling GetSID(), object already finalized");
    subAuthorities[count++] = value;
}

PSID SecurityIdentifier::GetSID()
{
    if (sid != nullptr)
        return sid;
    if (count == 0)
        throw ExceptionBase("Calling GetSID before specifying atleast one sub authority");
    const std::uint32_t* s = subAuthorities;
    if (AllocateAndInitializeSid(&authority, count, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7], &sid) != 1 ||
        sid == nullptr)
        throw ExceptionWindows("AllocateAndInitializeSid() failed");
    return sid;
}

AccessControlList::~AccessControlList()
{
    if (acl != nullptr)
        LocalFree(acl);
}

void AccessControlList::AddExplicitAccess(std::uint32_t accessMode, std::uint32_t permissions,
                                          std::uint32_t trusteeType, SecurityIdentifier& identifier)
{
    PSID sid = identifier.GetSID();
    if (acl != nullptr)
        throw ExceptionBase("Specifiying a new explicit access after calling GetACL(), object already finalized");
    EXPLICIT_ACCESS_A entry{};
    entry.grfAccessPermissions = permissions;
    entry.grfAccessMode = static_cast<ACCESS_MODE>(accessMode);
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.pMultipleTrustee = nullptr;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = static_cast<TRUSTEE_TYPE>(trusteeType);
    entry.Trustee.ptstrName = static_cast<LPSTR>(sid);
    entries.push_back(entry);
}

PACL AccessControlList::GetACL()
{
    if (acl != nullptr)
        return acl;
    if (entries.empty()) {
        // Some implementations of SetEntriesInAclA answer an empty list with no ACL at all, and a
        // descriptor with a null DACL would grant everybody everything. An empty list means an
        // ACL that grants nobody anything, so it is built here.
        acl = static_cast<PACL>(LocalAlloc(LPTR, sizeof(ACL)));
        if (acl == nullptr || !InitializeAcl(acl, sizeof(ACL), ACL_REVISION)) {
            ExceptionWindows failure("SetEntriesInAcl() failed");
            if (acl != nullptr)
                LocalFree(acl);
            acl = nullptr;
            throw failure;
        }
        return acl;
    }
    const DWORD result = SetEntriesInAclA(static_cast<ULONG>(entries.size()), entries.data(), nullptr, &acl);
    if (result != 0)
        throw ExceptionWindows("SetEntriesInAcl() failed", nullptr, result);
    return acl;
}

SECURITY_ATTRIBUTES SecurityDescriptor::BuildSecurityAttributes()
{
    if (InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) != 1)
        throw ExceptionWindows("InitializeSecurityDescriptor() failed");
    if (SetSecurityDescriptorDacl(&descriptor, TRUE, dacl.GetACL(), FALSE) != 1)
        throw ExceptionWindows("SetSecurityDescriptorDacl() failed");
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    attributes.lpSecurityDescriptor = &descriptor;
    attributes.bInheritHandle = FALSE;
    return attributes;
}

EveryoneSecurityAttributes::EveryoneSecurityAttributes(std::uint32_t access)
    : EveryoneSecurityAttributes(SharedObjectRights{access, access, access}, false)
{
}

EveryoneSecurityAttributes::EveryoneSecurityAttributes(const SharedObjectRights& rights, bool strict)
    : everyone(SID_IDENTIFIER_AUTHORITY{SECURITY_WORLD_SID_AUTHORITY}),
      localSystem(SID_IDENTIFIER_AUTHORITY{SECURITY_NT_AUTHORITY}),
      administrators(SID_IDENTIFIER_AUTHORITY{SECURITY_NT_AUTHORITY})
{
    everyone.AddSubAuthority(SECURITY_WORLD_RID);
    AccessControlList& dacl = descriptor.GetDacl();
    dacl.AddExplicitAccess(SET_ACCESS, strict ? rights.client : rights.open, TRUSTEE_IS_WELL_KNOWN_GROUP, everyone);
    if (strict) {
        localSystem.AddSubAuthority(SECURITY_LOCAL_SYSTEM_RID);
        administrators.AddSubAuthority(SECURITY_BUILTIN_DOMAIN_RID);
        administrators.AddSubAuthority(DOMAIN_ALIAS_RID_ADMINS);
        dacl.AddExplicitAccess(SET_ACCESS, rights.full, TRUSTEE_IS_WELL_KNOWN_GROUP, localSystem);
        dacl.AddExplicitAccess(SET_ACCESS, rights.full, TRUSTEE_IS_ALIAS, administrators);
    }
    attributes = descriptor.BuildSecurityAttributes();
}

void EveryoneSecurityAttributes::ApplyTo(HANDLE object, const std::string& name)
{
    const DWORD result = SetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         descriptor.GetDacl().GetACL(), nullptr);
    if (result != ERROR_SUCCESS)
        throw ExceptionWindows("Failed to set who may open the object " + name, nullptr, result);
}

namespace {

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return CreateWellKnownSid(type, nullptr, known, &size) != 0 && EqualSid(sid, known) != 0;
}

// This process's user and default owner.
bool IsOwnAccount(PSID sid)
{
    UniqueHandle token;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()) == 0)
        return false;
    for (const TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
        // Room for a TOKEN_USER or TOKEN_OWNER with the largest SID; both begin with the pointer.
        alignas(void*) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD size = 0;
        if (GetTokenInformation(token.Get(), kind, buffer, sizeof buffer, &size) == 0)
            continue;
        const PSID own = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid
                                           : reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner;
        if (EqualSid(sid, own) != 0)
            return true;
    }
    return false;
}

std::string AccountName(PSID sid)
{
    char name[256];
    char domain[256];
    DWORD nameSize = sizeof name;
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use) != 0)
        return domainSize > 0 ? std::string(domain) + "\\" + name : std::string(name);
    char* text = nullptr;
    if (ConvertSidToStringSidA(sid, &text) == 0)
        return "an account without a name";
    const std::string result(text);
    LocalFree(text);
    return result;
}

}  // namespace

std::optional<std::string> ForeignOwnerOf(HANDLE object)
{
    PSID owner = nullptr;  // within the descriptor
    UniqueLocalMemory descriptor;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        descriptor.Put()) != ERROR_SUCCESS ||
        owner == nullptr)
        return std::nullopt;
    if (IsWellKnown(owner, WinLocalSystemSid) || IsWellKnown(owner, WinBuiltinAdministratorsSid) || IsOwnAccount(owner))
        return std::nullopt;
    return AccountName(owner);
}

}  // namespace ZintarUtil
