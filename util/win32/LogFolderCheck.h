// The check the service makes before it opens, sets aside or moves its log file: refused is a
// path through a link or junction, and a folder in which every logged-on account may add, delete
// or re-permission entries (see FolderAccess.h for why).
#pragma once

#include <optional>
#include <string>

namespace ZintarUtil {

// The reason `logFilePath` is unsafe, as one sentence that starts with "its path" or "its
// folder", or nothing. What cannot be read (a folder that does not exist, a share that denies
// reading its permissions) is no reason here: opening the file reports it. Safe from any thread.
std::optional<std::string> RefusalOfLogFolder(const std::string& logFilePath);

}  // namespace ZintarUtil
