// Whether ordinary accounts can change what a folder holds. The service opens its log file as
// LocalSystem, sets a damaged file aside and moves the log at a stop; in a folder where any
// logged-on account may add or delete entries, or on a path through a link, such an account could
// plant a link that turns those operations onto a file of its choosing. The same holds for a
// folder that such an account owns (an owner may always re-permission), and for one that it may
// rename away, or whose parent it may, to put a folder of its own in its place.
//
// Portable: the Win32 shell (win32/LogFolderCheck.h) reads the folder's access list and its path
// and hands them to these rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ZintarUtil {

// The groups that every logged-on account is, or may be, a member of; any other SID is Other.
enum class BroadGroup { Everyone, Users, AuthenticatedUsers, Interactive, Other };

// The access bits that matter here, with the values Windows gives them on a folder.
namespace FolderRights {
constexpr std::uint32_t kAddFile = 0x2;         // FILE_ADD_FILE (FILE_WRITE_DATA)
constexpr std::uint32_t kAddSubfolder = 0x4;    // FILE_ADD_SUBDIRECTORY (FILE_APPEND_DATA)
constexpr std::uint32_t kDeleteChild = 0x40;    // FILE_DELETE_CHILD
constexpr std::uint32_t kDelete = 0x10000;      // DELETE: rename or delete the folder itself
constexpr std::uint32_t kWriteDac = 0x40000;    // lets one grant oneself any of the others
constexpr std::uint32_t kWriteOwner = 0x80000;  // the same, by taking ownership first
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
}  // namespace FolderRights

struct FolderAccessEntry {
    BroadGroup trustee;
    bool allows;         // false: an access-denied entry
    std::uint32_t mask;  // as stored, generic bits included
    bool inheritOnly;    // applies to what is created inside, not to the folder itself
};

// A folder's DACL in its stored order, and its owner. `present` false is a null DACL, which
// grants everyone everything; an empty list grants nobody anything. The owner is Other also when
// the folder has none or it could not be read.
struct FolderDacl {
    bool present = true;
    std::vector<FolderAccessEntry> entries;
    BroadGroup owner = BroadGroup::Other;
};

// What is wrong, as "lets Everyone add files and delete files" or "is owned by Users, ...", or
// nothing when no broad group owns the folder or may add, delete, re-permission or take over
// entries. Entries count in order: a right is granted by an allow that comes before any deny of
// it. Every account is a member of Everyone, so a deny for Everyone takes the right from every
// group; a deny for another group takes it from that group only.
std::optional<std::string> FolderWriteRefusal(const FolderDacl& dacl);

// One folder on the way from a drive or share root down to the log folder.
struct FolderOnPath {
    std::string path;
    FolderDacl dacl;
};

// Whether a broad group may move the last folder of `path` (the root first, the log folder last)
// out of the way and put one of its own in its place, by renaming it or a folder above it: it may
// delete entries of a folder above it (FILE_DELETE_CHILD), rename a folder below the root
// (DELETE on it), or give itself those rights (re-permission or own a folder above it). As
// "its folder C:\Logs could be moved away and another put in its place: C:\ lets Users delete
// files", naming the outermost such folder; nothing when there is none. The log folder's own
// entries, permissions and owner are FolderWriteRefusal's.
std::optional<std::string> FolderReplaceRefusal(const std::vector<FolderOnPath>& path);

// The folder part of a full Windows path: "C:\Logs" for "C:\Logs\Logs.dat", the root "C:\" for
// "C:\Logs.dat"; the same for "\\server\share\..." and "\\?\..." paths.
std::string FolderOfFile(const std::string& fullPath);

// The drive or share root of a full path: "C:\", "\\server\share\", "\\?\C:\"; empty for a path
// without one.
std::string FolderRoot(const std::string& fullPath);

// The folders from just below the drive or share root down to `folder` itself, outermost first.
// The root is left out: nobody can plant a link there (Wine shows its Z:\ as one, which it is on
// the Linux side).
std::vector<std::string> FoldersBelowRoot(const std::string& folder);

}  // namespace ZintarUtil
