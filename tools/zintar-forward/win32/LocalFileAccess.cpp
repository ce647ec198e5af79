#include "tools/zintar-forward/win32/LocalFileAccess.h"

#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>

#include <vector>

#include "util/Exceptions.h"
#include "util/ZintarNames.h"
#include "util/win32/LogFolderCheck.h"
#include "util/win32/UniqueResource.h"

namespace ZintarForward {

using ZintarUtil::BroadGroup;
using ZintarUtil::FolderDacl;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

struct Sid {
    BYTE bytes[SECURITY_MAX_SID_SIZE] = {};
    bool valid = false;
    PSID Get() { return bytes; }
};

Sid WellKnown(WELL_KNOWN_SID_TYPE type)
{
    Sid sid;
    DWORD size = sizeof sid.bytes;
    sid.valid = CreateWellKnownSid(type, nullptr, sid.bytes, &size) != 0;
    return sid;
}

Sid FromText(const std::string& text)
{
    Sid sid;
    PSID converted = nullptr;
    if (ConvertStringSidToSidA(text.c_str(), &converted)) {
        const ZintarUtil::UniqueLocalMemory owned(converted);
        sid.valid = CopySid(sizeof sid.bytes, sid.bytes, converted) != 0;
    }
    return sid;
}

Sid RunningAccount()
{
    Sid sid;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return sid;
    const ZintarUtil::UniqueHandle owned(token);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
        sid.valid = CopySid(sizeof sid.bytes, sid.bytes, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) != 0;
    return sid;
}

// The accounts and groups the rules tell apart.
class Accounts {
public:
    Accounts()
    {
        const Sid trusted[] = {WellKnown(WinLocalSystemSid), WellKnown(WinBuiltinAdministratorsSid),
                               FromText(ServiceSidText("TrustedInstaller")),
                               FromText(ServiceSidText(ZintarUtil::kForwardServiceName)), RunningAccount()};
        for (const Sid& sid : trusted)
            table.push_back({sid, OwnerKind::Trusted, BroadGroup::Other});
        table.push_back({WellKnown(WinLocalServiceSid), OwnerKind::ServiceAccount, BroadGroup::Other});
        table.push_back({WellKnown(WinWorldSid), OwnerKind::Broad, BroadGroup::Everyone});
        table.push_back({WellKnown(WinBuiltinUsersSid), OwnerKind::Broad, BroadGroup::Users});
        table.push_back({WellKnown(WinAuthenticatedUserSid), OwnerKind::Broad, BroadGroup::AuthenticatedUsers});
        table.push_back({WellKnown(WinInteractiveSid), OwnerKind::Broad, BroadGroup::Interactive});
    }

    OwnerKind Kind(PSID sid)
    {
        for (Known& known : table)
            if (known.sid.valid && EqualSid(sid, known.sid.Get()))
                return known.kind;
        return OwnerKind::Other;
    }

    BroadGroup Group(PSID sid)
    {
        for (Known& known : table)
            if (known.sid.valid && EqualSid(sid, known.sid.Get()))
                return known.group;
        return BroadGroup::Other;
    }

private:
    struct Known {
        Sid sid;
        OwnerKind kind;
        BroadGroup group;
    };
    std::vector<Known> table;
};

std::string AccountName(PSID sid)
{
    char name[256] = {}, domain[256] = {};
    DWORD nameSize = sizeof name, domainSize = sizeof domain;
    SID_NAME_USE use;
    if (LookupAccountSidA(nullptr, sid, name, &nameSize, domain, &domainSize, &use))
        return domain[0] != 0 ? std::string(domain) + "\\" + name : std::string(name);
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        return "";
    const ZintarUtil::UniqueLocalMemory owned(text);
    return text;
}

FolderDacl ToDacl(const ACL* acl, Accounts& accounts)
{
    return ZintarUtil::FolderDaclOf(acl, [&](PSID sid) { return accounts.Group(sid); });
}

std::string FullPath(const std::string& path)
{
    std::string full(GetFullPathNameA(path.c_str(), 0, nullptr, nullptr) + 1, '\0');
    const DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size())
        return path;
    full.resize(length);
    return full;
}

}  // namespace

std::string ServiceSidText(const std::string& serviceName)
{
    std::wstring upper;
    for (char c : serviceName)
        upper += static_cast<wchar_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : static_cast<unsigned char>(c));
    UCHAR digest[20] = {};
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0) >= 0 &&
                BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0 &&
                BCryptHashData(hash, reinterpret_cast<PUCHAR>(upper.data()),
                               static_cast<ULONG>(upper.size() * sizeof(wchar_t)), 0) >= 0 &&
                BCryptFinishHash(hash, digest, sizeof digest, 0) >= 0;
    if (hash != nullptr)
        BCryptDestroyHash(hash);
    if (algorithm != nullptr)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    if (!done)
        throw ExceptionBase("Failed to derive the SID of the service " + serviceName);
    std::string text = "S-1-5-80";
    for (int i = 0; i < 5; ++i) {
        const std::uint32_t part = digest[4 * i] | digest[4 * i + 1] << 8 | digest[4 * i + 2] << 16 |
                                   static_cast<std::uint32_t>(digest[4 * i + 3]) << 24;
        text += "-" + std::to_string(part);
    }
    return text;
}

std::optional<AccessFound> ReadAccess(HANDLE handle)
{
    PSID owner = nullptr;
    PACL acl = nullptr;  // both within the descriptor
    ZintarUtil::UniqueLocalMemory descriptor;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &acl, nullptr, descriptor.Put()) != ERROR_SUCCESS)
        return std::nullopt;
    Accounts accounts;
    AccessFound found;
    if (owner != nullptr) {
        found.owner.kind = accounts.Kind(owner);
        found.owner.name = AccountName(owner);
    }
    found.dacl = ToDacl(acl, accounts);
    return found;
}

HANDLE OpenWithoutFollowing(const std::string& path, DWORD access)
{
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::optional<std::string> CredentialPathRefusal(const std::string& path, bool secret)
{
    const std::string full = FullPath(path);
    const std::string folder = ZintarUtil::FolderOfFile(full);
    for (const std::string& step : ZintarUtil::FoldersBelowRoot(full)) {
        const DWORD attributes = GetFileAttributesA(step.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return "its path goes through " + step + ", a link or junction, which could lead the forwarder anywhere";
    }
    const ZintarUtil::UniqueFile file(OpenWithoutFollowing(full, READ_CONTROL));
    const ZintarUtil::UniqueFile parent(OpenWithoutFollowing(folder, READ_CONTROL));
    if (!file || !parent)
        return std::nullopt;
    const std::optional<AccessFound> fileAccess = ReadAccess(file.Get());
    const std::optional<AccessFound> folderAccess = ReadAccess(parent.Get());
    if (!fileAccess || !folderAccess)
        return std::nullopt;
    return CredentialFileRefusal(
        CredentialAccessFound{fileAccess->owner, fileAccess->dacl, folderAccess->owner, folderAccess->dacl}, folder,
        secret);
}

void RefuseUnsafeCredentialFiles(const ZintarUtil::ForwardSettings& settings)
{
    if (!settings.caFile.empty())
        if (auto refusal = CredentialPathRefusal(settings.caFile, false))
            throw ExceptionBase("The CA file " + FullPath(settings.caFile) + " cannot be used: " + *refusal +
                                "; keep it where only administrators may change it (install copies it there)");
    if (!settings.clientCertificate.empty())
        if (auto refusal = CredentialPathRefusal(settings.clientCertificate, true))
            throw ExceptionBase("The client certificate " + FullPath(settings.clientCertificate) + " cannot be used: " +
                                *refusal + "; keep it where only administrators may read it (install copies it there)");
}

}  // namespace ZintarForward
