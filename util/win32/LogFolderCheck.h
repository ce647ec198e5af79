// The check the service makes before it opens, sets aside or moves its log file: refused is a
// path through a link or junction, a folder in which every logged-on account may add, delete or
// re-permission entries or that such an account owns, and a folder that such an account may move
// away, itself or through a folder above it, to put its own in its place (see FolderAccess.h for
// why).
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

#include "util/FolderAccess.h"
#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

// The allow and deny entries of a file's or folder's access list (the object and callback kinds
// do not occur on files), each trustee sorted into a broad group by `classify`; the owner is left
// to the caller. Every check of who may change a file the project trusts reads the list this way.
FolderDacl FolderDaclOf(const ACL* acl, const std::function<BroadGroup(PSID)>& classify);

// The check, made through a handle to the folder that this object keeps open while it lives.
// The handle shares no delete access, so neither the folder nor a folder above it can be
// renamed or deleted meanwhile (Windows refuses to rename a folder with an open handle below
// it): a caller that keeps this object until its open or move of the log file is done uses the
// folder that was checked. Safe from any thread.
class CheckedLogFolder {
public:
    explicit CheckedLogFolder(const std::string& logFilePath);

    // The reason `logFilePath` is unsafe, as one sentence that starts with "its path" or "its
    // folder", or nothing. What cannot be read (a folder that does not exist, a share that
    // denies reading its permissions) is no reason here: opening the file reports it.
    const std::optional<std::string>& Refusal() const { return refusal; }

private:
    UniqueFile folder;
    std::optional<std::string> refusal;
};

// The same check for a caller that only reports it; nothing is held.
std::optional<std::string> RefusalOfLogFolder(const std::string& logFilePath);

}  // namespace ZintarUtil
