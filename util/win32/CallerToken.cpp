#include "util/win32/CallerToken.h"

#include "util/win32/UniqueResource.h"

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
    UniqueHandle copy;
    if (!DuplicateToken(token, SecurityIdentification, copy.Put()))
        return false;
    return IsMember(copy.Get(), WinLocalSystemSid) || IsMember(copy.Get(), WinBuiltinAdministratorsSid);
}

bool PipeClientIsAdministrator(HANDLE pipe)
{
    if (!ImpersonateNamedPipeClient(pipe))
        return false;
    UniqueHandle token;
    // As the service itself: an identification-level token may not open objects in its own name.
    const bool opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_DUPLICATE, TRUE, token.Put());
    RevertToSelf();
    return opened && TokenIsAdministrator(token.Get());
}

}  // namespace ZintarUtil
