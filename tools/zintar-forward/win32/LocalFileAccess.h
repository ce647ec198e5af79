// The Win32 side of LocalFileRules.h: who owns a file or folder and what its access list grants,
// read through a handle; the service's own SID; and the check of the CA file and the client
// certificate that `run` and the service make before they use them.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "tools/zintar-forward/LocalFileRules.h"
#include "util/ForwardState.h"

namespace ZintarForward {

// "S-1-5-80-..." of NT SERVICE\<serviceName>, as Windows derives it from the name (SHA-1 of the
// name in capitals, UTF-16). Throws ExceptionBase when BCrypt fails.
std::string ServiceSidText(const std::string& serviceName);

struct AccessFound {
    OwnerFound owner;
    ZintarUtil::FolderDacl dacl;
};
// The owner and the access list of what `handle` (opened with READ_CONTROL) names; none when they
// cannot be read.
std::optional<AccessFound> ReadAccess(HANDLE handle);

// Opens `path` itself, never what a link in its last step leads to, for `access` with every kind
// of sharing (a look never gets in the forwarder's way); INVALID_HANDLE_VALUE on failure (the last error says why).
HANDLE OpenWithoutFollowing(const std::string& path, DWORD access);

// Throws ExceptionBase "The CA file FILE cannot be used: <reason>" (or "The client certificate
// FILE ...") when ordinary users could replace the CA file, or read or replace the client
// certificate (LocalFileRules.h), or when a folder on the way to either is a link or junction.
// What cannot be read at all is left to the connection, which says so in its own words.
void RefuseUnsafeCredentialFiles(const ZintarUtil::ForwardSettings& settings);

// The reason `path` is unsafe for the forwarder to read, or nothing.
std::optional<std::string> CredentialPathRefusal(const std::string& path, bool secret);

}  // namespace ZintarForward
