// One Windows call each, with its failure turned into an exception. Time-outs are results, not
// failures.
#pragma once

#include <windows.h>

#include <cstdint>

namespace ZintarUtil {

BOOL CloseHandleOrThrow(HANDLE handle);
HANDLE CreateEventOrThrow(SECURITY_ATTRIBUTES* securityAttributes, bool manualReset, bool initialState,
                          const char* name);
// True when the object was signalled, false on time-out. Abandoned counts as failure.
bool WaitForSingleObjectOrThrow(HANDLE handle, std::uint32_t milliseconds);
// The index of the signalled object, or 0xFFFFFFFF on time-out.
std::uint32_t WaitForMultipleObjectsOrThrow(std::uint32_t count, const HANDLE* handles, bool waitAll,
                                            std::uint32_t milliseconds);
bool SetEventOrThrow(HANDLE handle);
bool ResetEventOrThrow(HANDLE handle);

// How WaitForMultipleObjectsOrThrow judges a wait result; kept apart so that every code can be
// tested. Throws for failed and abandoned results.
std::uint32_t InterpretMultipleWaitResult(DWORD result, std::uint32_t count);

}  // namespace ZintarUtil
