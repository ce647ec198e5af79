// The retry frame around every access to the mapped log file. A page of a mapped file can fail to
// come in (an in-page error: a network drive that went away, a disk error); such an access is
// tried again, up to ten times, before it is reported as ExceptionFileMapIO. Any other processor
// fault inside the frame leaves it as a thrown std::uint32_t holding the fault's code.
//
// GCC has no __try/__except, so the fault is caught by the platform's own mechanism
// (RunWithFaultGuard: a vectored exception handler on Windows, SIGBUS/SIGSEGV elsewhere), and the
// retry rule is kept apart in RetryViewAccess so that it can be tested without a real fault.
#pragma once

#include <cstdint>

#include "util/Exceptions.h"

namespace ZintarUtil {

constexpr std::uint32_t kInPageError = 0xC0000006;
constexpr std::uint32_t kAccessViolation = 0xC0000005;
constexpr int kViewAccessAttempts = 10;

// Runs body(context) once. Returns 0 when it completed, or the code of the processor fault that
// interrupted it (in-page errors, access violations and the other hardware faults; C++
// exceptions pass through unchanged). The body must be harmless to run again: a plain copy or a
// few stores.
using GuardedBody = void (*)(void* context);
std::uint32_t RunWithFaultGuard(GuardedBody body, void* context);

// The retry rule. `attempt` runs the body once and returns what RunWithFaultGuard returns.
template <class Attempt>
void RetryViewAccess(Attempt&& attempt)
{
    for (int tries = 1;; ++tries) {
        const std::uint32_t fault = attempt();
        if (fault == 0)
            return;
        if (fault != kInPageError)
            throw fault;
        if (tries == kViewAccessAttempts)
            throw Exceptions::ExceptionFileMapIO("Failed to access File Map View");
    }
}

template <class Body>
void GuardedViewAccess(Body&& body)
{
    using BodyType = std::remove_reference_t<Body>;
    RetryViewAccess([&body] {
        return RunWithFaultGuard([](void* context) { (*static_cast<BodyType*>(context))(); },
                                 const_cast<void*>(static_cast<const volatile void*>(&body)));
    });
}

}  // namespace ZintarUtil
