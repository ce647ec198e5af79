// Who is at the other end: whether a token, or the client of a pipe, belongs to an administrator.
#pragma once

#include <windows.h>

namespace ZintarUtil {

// LocalSystem, or a member of BUILTIN\Administrators whose membership is enabled (an elevated
// token; a filtered one of User Account Control has the group for deny only, and is no
// administrator here). Any token the caller may query: a primary one is looked at through an
// identification copy. False when the token cannot be examined.
bool TokenIsAdministrator(HANDLE token);

// Whether the client of `pipe`, which has sent at least one message on it, is an administrator:
// the client's token is taken by impersonating it at the level the client allows (identification
// is enough) and given back at once. False when the client cannot be impersonated.
bool PipeClientIsAdministrator(HANDLE pipe);

}  // namespace ZintarUtil
