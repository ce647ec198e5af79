#include "util/win32/AutoHandle.h"

#include "util/Exceptions.h"

namespace ZintarUtil {
namespace {

// Duplicates `source` into a new handle of this process; null becomes the empty value.
HANDLE Duplicate(HANDLE source, DWORD options, const char* failureText)
{
    HANDLE copy = nullptr;
    const HANDLE process = GetCurrentProcess();
    if (DuplicateHandle(process, source, process, &copy, 0, FALSE, options) != 1)
        throw Exceptions::ExceptionWindows(failureText);
    return copy != nullptr ? copy : INVALID_HANDLE_VALUE;
}

}  // namespace

AutoHandle::AutoHandle(const HANDLE& rawHandle)
{
    Take(rawHandle);
}

AutoHandle::AutoHandle(const AutoHandle& other)
{
    if (other.IsValid())
        handle.Reset(
            Duplicate(other.Get(), DUPLICATE_SAME_ACCESS, "Failed to get a copy of the handle in AutoHandle::Copy()"));
}

AutoHandle& AutoHandle::operator=(const HANDLE& rawHandle)
{
    if (rawHandle != handle.Get())
        Take(rawHandle);
    return *this;
}

AutoHandle::~AutoHandle() = default;

void AutoHandle::Take(const HANDLE& rawHandle)
{
    Close();
    if (!FileHandleTraits::IsEmpty(rawHandle))
        handle.Reset(Duplicate(rawHandle, DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS,
                               "Failed to get a copy of the handle in AutoHandle::Take()"));
}

void AutoHandle::Close()
{
    handle.Reset();
}

}  // namespace ZintarUtil
