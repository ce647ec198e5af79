#include "CallerToken.h"

namespace ZintarUtil {

namespace {

bool IsMember(HANDLE impersonationToken, WELL_KNOWN_SID_TYPE group)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    return CreateWellKnownSid(group, nullptr, sid, &size) && CheckTokenMembership(impersonationToken, sid, &member) &&
           member;
}

}  // namespace

bool TokenIsAdministrator(HANDLE token)
{
    // CheckTokenMembership takes impersonation tokens only.
    HANDLE copy = nullptr;
    if (!DuplicateToken(token, SecurityIdentification, &copy))
        return false;
    const bool administrator = IsMember(copy, WinLocalSystemSid) || IsMember(copy, WinBuiltinAdministratorsSid);
    CloseHandle(copy);
    return administrator;
}

bool PipeClientIsAdministrator(HANDLE pipe)
{
    if (!ImpersonateNamedPipeClient(pipe))
        return false;
    HANDLE token = nullptr;
    // As the service itself: an identification-level token may not open objects in its own name.
    const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_DUPLICATE, TRUE, &token);
    RevertToSelf();
    if (!opened)
        return false;
    const bool administrator = TokenIsAdministrator(token);
    CloseHandle(token);
    return administrator;
}

}  // namespace ZintarUtil
