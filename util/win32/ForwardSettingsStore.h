// Where zintar-forward keeps what it runs with: its settings in the registry under the server's
// key (HKEY_LOCAL_MACHINE\...\Tervan Log Server\Forward), readable by every account so that an
// administrator can see them and the service can read them; and its state file, by default in
// its own folder under %ProgramData%, readable by the service and the administrators only.
//
// The values: To, HostName, State, Types ("0,1,2,3"), CA, Fingerprint, ClientCert, Revocation
// ("off", "soft", "hard"; missing: soft) (text), Facility (DWORD).
#pragma once

#include <optional>
#include <string>

#include "util/ForwardState.h"

namespace ZintarUtil {

// Replaces the settings, creating the key. Throws ExceptionWindows (administrators only).
void WriteForwardSettings(const ForwardSettings& settings);
// The settings as stored, read with read access only; none when the key is missing. Throws
// ExceptionBase naming a value that cannot be read.
std::optional<ForwardSettings> ReadForwardSettings();
// Deletes the key; a missing key is not an error.
void DeleteForwardSettings();

// %ProgramData%\Tervan Log Forwarder.
std::string ForwardStateFolder();
// The settings' state file, or state.txt in the state folder.
std::string ForwardStatePath(const ForwardSettings& settings);
// The state file's content; none when there is no file (or it cannot be read). Read with every
// kind of sharing, so that a reader never keeps the forwarder from replacing the file.
std::optional<ForwardState> ReadForwardStateFile(const std::string& path);

// The copy of the state file that every user may read, for `status`: "state-status.txt" beside
// "state.txt" (the name with "-status.txt" in place of ".txt", or added).
std::string ForwardStatusCopyPath(const std::string& statePath);
// What status shows: the status copy, or the state file itself where there is no copy (an
// administrator, or a forwarder of an earlier version).
std::optional<ForwardState> ReadForwardStatus(const std::string& statePath);

}  // namespace ZintarUtil
