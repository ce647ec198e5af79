// What the forwarder accepts of the files it keeps and reads on the machine itself, as rules over
// what the Win32 shell (win32/StateFolder.h, win32/CredentialFileCheck.h) found: who owns a file
// or folder and which broad groups its access list lets in.
//
// An owner can always give itself any access again, whatever the access list says; so an owner
// other than the system's own accounts, the administrators or the account that runs the check
// counts as much as a broad group in the list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/FolderAccess.h"

namespace ZintarForward {

enum class OwnerKind {
    Trusted,         // SYSTEM, Administrators, TrustedInstaller, NT SERVICE\ZintarForward, the running account
    ServiceAccount,  // LocalService: what an earlier forwarder, which ran without a SID of its own, left
    Broad,           // Everyone, Users, Authenticated Users, INTERACTIVE: every logged-on account
    Other,           // any other account
};

struct OwnerFound {
    OwnerKind kind = OwnerKind::Trusted;
    std::string name;  // as "PC\bob", for the reason
};

// ---- The state folder, which `install` makes or takes over --------------------------------------

// One entry inside the folder (or inside its certs folder, named "certs\ca.pem").
struct StateEntryFound {
    std::string name;
    bool folder = false;
    bool reparsePoint = false;
    std::uint32_t links = 1;  // hard links of a file
    OwnerFound owner;
};

struct StateFolderFound {
    bool driveRoot = false;
    bool exists = false;
    bool isFile = false;
    bool reparsePoint = false;
    OwnerFound owner;
    std::vector<StateEntryFound> entries;
};

enum class FolderAction {
    Create,    // make it, owned by the administrators, with its protected access list
    TakeOver,  // owner the administrators, the protected access list set through the handle, every entry reset
    Refuse,
};

struct FolderDecision {
    FolderAction action;
    std::string reason;  // with Refuse: completes "The state folder PATH ..."
};

// The names the forwarder itself puts into its state folder, for a state file and its status copy
// (see ForwardSettingsStore.h) of these names.
std::vector<std::string> StateFolderNames(const std::string& stateName, const std::string& statusName);

// A folder that exists is taken over only when everything in it is what the forwarder put there,
// owned by the administrators, the system or the forwarder; anything else is refused with the
// reason (see the table in the tests, and why in LocalFileRules.cpp).
FolderDecision DecideStateFolder(const StateFolderFound& found, const std::string& stateName,
                                 const std::string& statusName);

// ---- The CA file and the client certificate, read at every connection ----------------------------

// File rights, as Windows numbers them.
namespace FileRights {
constexpr std::uint32_t kReadData = 0x1;
constexpr std::uint32_t kWriteData = 0x2;
constexpr std::uint32_t kAppendData = 0x4;
constexpr std::uint32_t kDelete = 0x10000;
constexpr std::uint32_t kGenericRead = 0x80000000;
}  // namespace FileRights

struct CredentialAccessFound {
    OwnerFound fileOwner;
    ZintarUtil::FolderDacl file;
    OwnerFound folderOwner;
    ZintarUtil::FolderDacl folder;
};

// Why the file may not be used, as "its folder C:\x lets Everyone add files" (`folder` names it),
// or nothing. Refused: a file or folder owned by a broad group or another account, a file that a
// broad group may change, delete or re-permission, a folder in which one may add, delete or
// re-permission entries (ZintarUtil::FolderWriteRefusal), and with `secret` (a private key) a
// file that a broad group may read.
std::optional<std::string> CredentialFileRefusal(const CredentialAccessFound& found, const std::string& folder,
                                                 bool secret);

}  // namespace ZintarForward
