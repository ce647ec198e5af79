// The forwarder's state folder (%ProgramData%\Tervan Log Forwarder, or the folder of the state
// file given to install) and what install puts there: the folder is made, or taken over, by
// `install` alone, owned by the administrators, with a protected access list that lets SYSTEM,
// the administrators and the service's own SID (NT SERVICE\ZintarForward) do anything and other
// accounts only list it. What the service writes inside inherits that list, so the resume point
// is for the service and the administrators alone; the status copy beside it (status needs it)
// is readable by Users too. The CA file and the client certificate are copied into its certs
// folder, so that the service reads nothing an ordinary user could change or read.
#pragma once

#include <string>
#include <vector>

#include "util/ForwardState.h"

namespace ZintarForward {

// Makes the folder of `statePath` or takes it over (LocalFileRules.h decides which, or refuses).
// Throws ExceptionBase "The state folder FOLDER ..." with the reason.
void PrepareStateFolder(const std::string& statePath);

// The settings as the service is to run with them: every path made full (a service starts in
// System32), the state folder prepared, the CA file and the client certificate checked (they
// exist, can be read and can be used) and copied into the state folder's certs folder, their
// copies named instead. `notes` receives what the administrator should know (a source that
// ordinary users could change). Throws ExceptionBase with the reason anything would fail at
// the service's start.
ZintarUtil::ForwardSettings PrepareInstall(const ZintarUtil::ForwardSettings& typed, std::vector<std::string>& notes);

// The settings as `run` uses them: paths made full, the default state folder required (run never
// makes it), the CA file and the client certificate checked (LocalFileAccess.h). Throws
// ExceptionBase.
ZintarUtil::ForwardSettings PrepareRun(const ZintarUtil::ForwardSettings& typed);

// The access list of the status copy, for the file's creation: Users may read it; the rest is
// inherited from the folder.
const char* StatusCopyAccess();

}  // namespace ZintarForward
