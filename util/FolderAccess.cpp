#include "util/FolderAccess.h"

#include <algorithm>

namespace ZintarUtil {

namespace {

using namespace FolderRights;

constexpr std::uint32_t kRightsThatMatter = kAddFile | kAddSubfolder | kDeleteChild | kWriteDac | kWriteOwner;
// What lets one take an entry out of a folder, or give oneself that right.
constexpr std::uint32_t kRightsOverEntries = kDeleteChild | kWriteDac | kWriteOwner;

struct RightName {
    std::uint32_t bit;
    const char* words;
};
constexpr RightName kRightNames[] = {
    {kAddFile, "add files"},
    {kAddSubfolder, "add subfolders"},
    {kDeleteChild, "delete files"},
    {kWriteDac, "change its permissions"},
    {kWriteOwner, "take its ownership"},
    {kDelete, "rename it"},
};

struct GroupName {
    BroadGroup group;
    const char* name;
};
constexpr GroupName kGroupNames[] = {
    {BroadGroup::Everyone, "Everyone"},
    {BroadGroup::Users, "Users"},
    {BroadGroup::AuthenticatedUsers, "Authenticated Users"},
    {BroadGroup::Interactive, "INTERACTIVE"},
};

// Generic bits as a folder maps them: GENERIC_WRITE to FILE_GENERIC_WRITE, which adds entries
// but deletes none; GENERIC_ALL to everything.
std::uint32_t RightsOf(std::uint32_t mask)
{
    if ((mask & kGenericAll) != 0)
        mask |= kRightsThatMatter | kDelete;
    if ((mask & kGenericWrite) != 0)
        mask |= kAddFile | kAddSubfolder;
    return mask;
}

std::uint32_t GrantedTo(BroadGroup group, const std::vector<FolderAccessEntry>& entries, std::uint32_t wanted)
{
    std::uint32_t granted = 0;
    std::uint32_t denied = 0;
    for (const FolderAccessEntry& entry : entries) {
        if (entry.inheritOnly)
            continue;
        const std::uint32_t rights = RightsOf(entry.mask) & wanted;
        if (!entry.allows && (entry.trustee == group || entry.trustee == BroadGroup::Everyone))
            denied |= rights;  // a right granted earlier stays granted
        else if (entry.allows && entry.trustee == group)
            granted |= rights & ~denied;
    }
    return granted;
}

// "a", "a and b", "a, b and c".
std::string JoinWords(const std::vector<std::string>& words)
{
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0)
            text += i + 1 == words.size() ? " and " : ", ";
        text += words[i];
    }
    return text;
}

std::string DescribeRights(std::uint32_t rights)
{
    std::vector<std::string> words;
    for (const RightName& right : kRightNames)
        if ((rights & right.bit) != 0)
            words.emplace_back(right.words);
    return JoinWords(words);
}

const char* NameOf(BroadGroup group)
{
    for (const GroupName& known : kGroupNames)
        if (known.group == group)
            return known.name;
    return nullptr;
}

// What a broad group may do of `wanted`, or that it owns the folder (an owner may give itself
// any right): "is owned by Users, ...", "lets Everyone add files, and lets Users delete files".
std::optional<std::string> BroadGroupPhrase(const FolderDacl& dacl, std::uint32_t wanted)
{
    if (const char* owner = NameOf(dacl.owner))
        return std::string("is owned by ") + owner + ", who may give themselves any right on it";
    if (!dacl.present)
        return "has no access list at all, which lets everyone do anything in it";
    std::vector<std::string> phrases;
    for (const GroupName& group : kGroupNames) {
        const std::uint32_t rights = GrantedTo(group.group, dacl.entries, wanted);
        if (rights != 0)
            phrases.push_back(std::string(group.name) + " " + DescribeRights(rights));
    }
    if (phrases.empty())
        return std::nullopt;
    std::string text = "lets " + phrases[0];
    for (std::size_t i = 1; i < phrases.size(); ++i)
        text += ", and lets " + phrases[i];
    return text;
}

// Length of the part that names a drive or share: "C:\", "\\?\C:\", "\\server\share\",
// "\\?\UNC\server\share\"; 0 for a path without one.
std::size_t RootLength(const std::string& path)
{
    std::size_t at = path.rfind("\\\\?\\", 0) == 0 ? 4 : 0;
    if (path.size() >= at + 2 && path[at + 1] == ':')
        return std::min(path.size(), at + 3);
    if (at == 4 && path.compare(4, 4, "UNC\\") == 0)
        at = 8;
    else if (at == 0 && path.rfind("\\\\", 0) == 0)
        at = 2;
    else
        return 0;
    const std::size_t afterServer = path.find('\\', at);
    const std::size_t afterShare = afterServer == std::string::npos ? afterServer : path.find('\\', afterServer + 1);
    return afterShare == std::string::npos ? path.size() : afterShare + 1;
}

}  // namespace

std::optional<std::string> FolderWriteRefusal(const FolderDacl& dacl)
{
    return BroadGroupPhrase(dacl, kRightsThatMatter);
}

// The root is only ever a folder above: a drive is not renamed. The log folder counts only as an
// entry of its parent (its own rights are FolderWriteRefusal's).
std::optional<std::string> FolderReplaceRefusal(const std::vector<FolderOnPath>& path)
{
    for (std::size_t i = 0; i < path.size(); ++i) {
        const bool above = i + 1 < path.size();
        const bool belowRoot = i > 0;
        const std::uint32_t wanted = (above ? kRightsOverEntries : 0) | (belowRoot ? kDelete : 0);
        const FolderDacl& dacl = path[i].dacl;
        // Owning the log folder itself is FolderWriteRefusal's finding.
        std::optional<std::string> phrase;
        if (above || dacl.owner == BroadGroup::Other)
            phrase = BroadGroupPhrase(dacl, wanted);
        if (phrase)
            return "its folder " + path.back().path +
                   " could be moved away and another put in its place: " + path[i].path + " " + *phrase;
    }
    return std::nullopt;
}

std::string FolderOfFile(const std::string& fullPath)
{
    const std::size_t root = RootLength(fullPath);
    const std::size_t cut = fullPath.find_last_of('\\');
    if (cut == std::string::npos || cut < root)
        return fullPath.substr(0, root);
    return fullPath.substr(0, cut);
}

std::string FolderRoot(const std::string& fullPath)
{
    return fullPath.substr(0, RootLength(fullPath));
}

std::vector<std::string> FoldersBelowRoot(const std::string& folder)
{
    std::vector<std::string> folders;
    const std::size_t root = RootLength(folder);
    for (std::size_t at = folder.find('\\', root); at != std::string::npos; at = folder.find('\\', at + 1))
        folders.push_back(folder.substr(0, at));
    if (folder.size() > root && folder.back() != '\\')
        folders.push_back(folder);
    return folders;
}

}  // namespace ZintarUtil
