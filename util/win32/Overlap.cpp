#include "util/win32/Overlap.h"

#include "util/Exceptions.h"
#include "util/win32/WaitFunctions.h"

namespace ZintarUtil {

using Exceptions::ExceptionBase;
using Exceptions::ExceptionWindows;

Overlap::Overlap() : overlapped{}
{
    completionEvent.Take(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (completionEvent.IsInvalid())
        throw ExceptionWindows("Failed to create the completion event in Overlap construction");
    cancelEvent.Take(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (cancelEvent.IsInvalid())
        throw ExceptionWindows("Failed to create the cancellation event in Overlap construction");
    overlapped.hEvent = completionEvent.Get();
}

Overlap::~Overlap()
{
    completionEvent.Close();
    cancelEvent.Close();
}

std::uint32_t Overlap::Wait(std::uint32_t milliseconds)
{
    const HANDLE handles[2] = {completionEvent.Get(), cancelEvent.Get()};
    if (WaitForMultipleObjectsOrThrow(2, handles, false, milliseconds) == 0)
        return static_cast<std::uint32_t>(overlapped.Internal);
    return WAIT_TIMEOUT;
}

void Overlap::Cancel()
{
    try {
        SetEventOrThrow(cancelEvent.Get());
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to cancel asynchronous operation", &e);
    }
}

void Overlap::Reset()
{
    try {
        ResetEventOrThrow(cancelEvent.Get());
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to reset overlap object", &e);
    }
}

}  // namespace ZintarUtil
