#include "util/win32/WaitFunctions.h"

#include "util/Exceptions.h"

namespace ZintarUtil {

using Exceptions::ExceptionBase;
using Exceptions::ExceptionWindows;

BOOL CloseHandleOrThrow(HANDLE handle)
{
    const BOOL result = CloseHandle(handle);
    if (!result)
        throw ExceptionWindows("CloseHandle() failed:");
    return result;
}

HANDLE CreateEventOrThrow(SECURITY_ATTRIBUTES* securityAttributes, bool manualReset, bool initialState,
                          const char* name)
{
    HANDLE handle = CreateEventA(securityAttributes, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, name);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
        throw ExceptionWindows("CreateEvent() failed");
    return handle;
}

bool WaitForSingleObjectOrThrow(HANDLE handle, std::uint32_t milliseconds)
{
    const DWORD result = WaitForSingleObject(handle, milliseconds);
    if (result == WAIT_FAILED || result == WAIT_ABANDONED)
        throw ExceptionWindows("WaitForSingleObject failed");
    return result != WAIT_TIMEOUT;
}

std::uint32_t InterpretMultipleWaitResult(DWORD result, std::uint32_t count)
{
    if (result == WAIT_TIMEOUT)
        return 0xFFFFFFFF;
    if (result == WAIT_FAILED)
        throw ExceptionWindows("WaitForMultipleObjects failed");
    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count)
        throw ExceptionBase("WaitForMultipleObjects is waiting for an abandonned mutex");
    return result;
}

std::uint32_t WaitForMultipleObjectsOrThrow(std::uint32_t count, const HANDLE* handles, bool waitAll,
                                            std::uint32_t milliseconds)
{
    return InterpretMultipleWaitResult(WaitForMultipleObjects(count, handles, waitAll ? TRUE : FALSE, milliseconds),
                                       count);
}

bool SetEventOrThrow(HANDLE handle)
{
    if (!SetEvent(handle))
        throw ExceptionWindows("SetEvent failed");
    return true;
}

bool ResetEventOrThrow(HANDLE handle)
{
    if (!ResetEvent(handle))
        throw ExceptionWindows("ResetEvent failed");
    return true;
}

}  // namespace ZintarUtil
