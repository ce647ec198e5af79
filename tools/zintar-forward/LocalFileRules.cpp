#include "tools/zintar-forward/LocalFileRules.h"

#include <algorithm>
#include <cctype>

namespace ZintarForward {

using ZintarUtil::BroadGroup;
using ZintarUtil::FolderDacl;

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool Untrusted(OwnerKind kind)
{
    return kind == OwnerKind::Broad || kind == OwnerKind::Other;
}

std::string OwnerWords(const OwnerFound& owner)
{
    return "belongs to " + (owner.name.empty() ? std::string("another account") : owner.name);
}

// ---- file rights of the broad groups, in the order of the list, as FolderAccess counts them ----

constexpr std::uint32_t kChange = FileRights::kWriteData | FileRights::kAppendData | FileRights::kDelete |
                                  ZintarUtil::FolderRights::kWriteDac | ZintarUtil::FolderRights::kWriteOwner;
constexpr std::uint32_t kRead = FileRights::kReadData;

std::uint32_t FileRightsOf(std::uint32_t mask)
{
    if ((mask & ZintarUtil::FolderRights::kGenericAll) != 0)
        mask |= kChange | kRead;
    if ((mask & ZintarUtil::FolderRights::kGenericWrite) != 0)
        mask |= FileRights::kWriteData | FileRights::kAppendData;
    if ((mask & FileRights::kGenericRead) != 0)
        mask |= kRead;
    return mask & (kChange | kRead);
}

std::uint32_t FileGrantedTo(BroadGroup group, const FolderDacl& dacl)
{
    if (!dacl.present)
        return kChange | kRead;
    std::uint32_t granted = 0;
    std::uint32_t denied = 0;
    for (const ZintarUtil::FolderAccessEntry& entry : dacl.entries) {
        if (entry.inheritOnly)
            continue;
        const std::uint32_t rights = FileRightsOf(entry.mask);
        if (!entry.allows && (entry.trustee == group || entry.trustee == BroadGroup::Everyone))
            denied |= rights;
        else if (entry.allows && entry.trustee == group)
            granted |= rights & ~denied;
    }
    return granted;
}

struct GroupName {
    BroadGroup group;
    const char* name;
};
constexpr GroupName kGroups[] = {{BroadGroup::Everyone, "Everyone"},
                                 {BroadGroup::Users, "Users"},
                                 {BroadGroup::AuthenticatedUsers, "Authenticated Users"},
                                 {BroadGroup::Interactive, "INTERACTIVE"}};

std::optional<std::string> FileRefusal(const FolderDacl& dacl, bool secret)
{
    for (const GroupName& group : kGroups) {
        const std::uint32_t rights = FileGrantedTo(group.group, dacl);
        if ((rights & kChange) != 0)
            return "it lets " + std::string(group.name) + " change, replace or re-permission it";
        if (secret && (rights & kRead) != 0)
            return "it lets " + std::string(group.name) + " read it, private key included";
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::string> StateFolderNames(const std::string& stateName, const std::string& statusName)
{
    const std::string state = Lower(stateName);
    const std::string status = Lower(statusName);
    return {state,
            state + ".new",
            status,
            status + ".new",
            "zintarforwardlog.txt",
            "zintarforwardlog.txt.old",
            "certs",
            "certs\\ca.pem",
            "certs\\ca.pem.new",
            "certs\\client.p12",
            "certs\\client.p12.new"};
}

// A folder that another account owns is refused rather than taken over: its owner may have
// opened handles to it, or to what it holds, before the install, and an open handle keeps the
// access it was opened with whatever access list comes later; it may also have made hard links
// to other files, whose access list a reset of the folder's entries would then change. Nothing
// the install could do through its own handles undoes that, so the administrator deletes the
// folder and installs again. A folder the administrators own is taken over, but only when it
// holds nothing but the forwarder's own files, so that a mistyped --state never re-permissions
// a folder of other data.
FolderDecision DecideStateFolder(const StateFolderFound& found, const std::string& stateName,
                                 const std::string& statusName)
{
    auto refuse = [](std::string reason) { return FolderDecision{FolderAction::Refuse, std::move(reason)}; };
    if (found.driveRoot)
        return refuse("is the root of a drive: give the forwarder a folder of its own");
    if (!found.exists)
        return {FolderAction::Create, ""};
    if (found.reparsePoint)
        return refuse("is a link or junction, which could turn the service's writes and the access list set "
                      "here onto another folder: delete it and install again");
    if (found.isFile)
        return refuse("is a file, not a folder");
    if (Untrusted(found.owner.kind) || found.owner.kind == OwnerKind::ServiceAccount)
        return refuse(OwnerWords(found.owner) +
                      ", not to the administrators: its owner can always give itself access again, and what it "
                      "holds open keeps its access; delete the folder and install again");
    const std::vector<std::string> ours = StateFolderNames(stateName, statusName);
    for (const StateEntryFound& entry : found.entries) {
        const std::string name = Lower(entry.name);
        if (std::find(ours.begin(), ours.end(), name) == ours.end() || (name == "certs") != entry.folder)
            return refuse("holds " + entry.name +
                          ", which the forwarder did not put there: give the forwarder a folder of its own");
        if (entry.reparsePoint)
            return refuse("holds " + entry.name + ", a link or junction: delete it and install again");
        if (!entry.folder && entry.links > 1)
            return refuse("holds " + entry.name + ", a file with " + std::to_string(entry.links) +
                          " names (hard links): delete it and install again");
        if (Untrusted(entry.owner.kind))
            return refuse("holds " + entry.name + ", which " + OwnerWords(entry.owner) +
                          ": delete it and install again");
    }
    return {FolderAction::TakeOver, ""};
}

std::optional<std::string> CredentialFileRefusal(const CredentialAccessFound& found, const std::string& folder,
                                                 bool secret)
{
    if (Untrusted(found.fileOwner.kind))
        return "it " + OwnerWords(found.fileOwner) + ", who may give anyone access to it";
    if (auto refusal = FileRefusal(found.file, secret))
        return refusal;
    if (Untrusted(found.folderOwner.kind))
        return "its folder " + folder + " " + OwnerWords(found.folderOwner) + ", who may replace what it holds";
    if (auto refusal = ZintarUtil::FolderWriteRefusal(found.folder))
        return "its folder " + folder + " " + *refusal;
    return std::nullopt;
}

}  // namespace ZintarForward
