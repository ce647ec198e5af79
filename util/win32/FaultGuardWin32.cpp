// Catching processor faults without __try/__except: a vectored exception handler sees every
// exception first; when the faulting thread is inside RunWithFaultGuard it records the code and
// resumes the thread at the point RunWithFaultGuard captured with RtlCaptureContext, which then
// returns the code instead of running the body again.
#include <windows.h>

#include <cstdint>

#include "util/GuardedViewAccess.h"

namespace ZintarUtil {
namespace {

struct alignas(16) FaultFrame {
    CONTEXT context;
    volatile DWORD faultCode;
};

bool IsProcessorFault(DWORD code)
{
    switch (code) {
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
        return true;
    default:
        return false;
    }
}

// The frame of the innermost RunWithFaultGuard of each thread, in a Win32 TLS slot: reading it
// from the handler must not allocate, which a compiler-emulated thread_local may do.
class ActiveFrameSlot {
public:
    ActiveFrameSlot() : index(TlsAlloc()), handler(AddVectoredExceptionHandler(1, &Handler)) {}

    FaultFrame* Get() const { return static_cast<FaultFrame*>(TlsGetValue(index)); }
    void Set(FaultFrame* frame) const { TlsSetValue(index, frame); }

private:
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* info);

    DWORD index;
    PVOID handler;
};

const ActiveFrameSlot& Slot()
{
    static const ActiveFrameSlot slot;
    return slot;
}

LONG CALLBACK ActiveFrameSlot::Handler(EXCEPTION_POINTERS* info)
{
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (!IsProcessorFault(code))
        return EXCEPTION_CONTINUE_SEARCH;
    const DWORD lastError = GetLastError();
    FaultFrame* frame = Slot().Get();
    SetLastError(lastError);
    if (frame == nullptr)
        return EXCEPTION_CONTINUE_SEARCH;
    frame->faultCode = code;
    *info->ContextRecord = frame->context;
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

__attribute__((noinline)) std::uint32_t RunWithFaultGuard(GuardedBody body, void* context)
{
    const ActiveFrameSlot& slot = Slot();
    FaultFrame* const previous = slot.Get();
    FaultFrame frame;
    frame.faultCode = 0;
    RtlCaptureContext(&frame.context);
    // Execution comes back here a second time, with faultCode set, when the body faults.
    if (frame.faultCode != 0) {
        slot.Set(previous);
        return frame.faultCode;
    }
    slot.Set(&frame);
    try {
        body(context);
    } catch (...) {
        slot.Set(previous);
        throw;
    }
    slot.Set(previous);
    return 0;
}

}  // namespace ZintarUtil
