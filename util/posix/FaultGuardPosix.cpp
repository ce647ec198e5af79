// Off Windows a page of a mapped file that cannot be read arrives as SIGBUS (the equivalent of an
// in-page error) and a bad address as SIGSEGV. While a thread is inside RunWithFaultGuard the
// handler jumps back to it with the matching Windows code; other faults go to whatever handler
// was installed before (a sanitizer's, or the default one).
#include <cstdint>
#include <mutex>

#include <setjmp.h>
#include <signal.h>

#include "util/GuardedViewAccess.h"

namespace ZintarUtil {
namespace {

thread_local sigjmp_buf* activeJump = nullptr;
thread_local volatile sig_atomic_t activeCode = 0;

struct sigaction previousBus;
struct sigaction previousSegv;

void Chain(int signalNumber, siginfo_t* info, void* context)
{
    const struct sigaction& previous = signalNumber == SIGBUS ? previousBus : previousSegv;
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signalNumber, info, context);
    } else if (previous.sa_handler != SIG_IGN && previous.sa_handler != SIG_DFL && previous.sa_handler != nullptr) {
        previous.sa_handler(signalNumber);
    } else {
        // Back to the default action; the faulting instruction runs again and ends the process.
        signal(signalNumber, SIG_DFL);
    }
}

void Handler(int signalNumber, siginfo_t* info, void* context)
{
    sigjmp_buf* jump = activeJump;
    if (jump == nullptr) {
        Chain(signalNumber, info, context);
        return;
    }
    activeCode =
        signalNumber == SIGBUS ? static_cast<sig_atomic_t>(kInPageError) : static_cast<sig_atomic_t>(kAccessViolation);
    siglongjmp(*jump, 1);
}

void InstallHandlers()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action = {};
        action.sa_sigaction = &Handler;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGBUS, &action, &previousBus);
        sigaction(SIGSEGV, &action, &previousSegv);
    });
}

}  // namespace

std::uint32_t RunWithFaultGuard(GuardedBody body, void* context)
{
    InstallHandlers();
    sigjmp_buf* const previous = activeJump;
    sigjmp_buf jump;
    // The signal mask need not be saved: the handler runs with SA_NODEFER, so nothing is left
    // blocked when it jumps back, and not saving it keeps every guarded access free of system calls.
    if (sigsetjmp(jump, 0) != 0) {
        activeJump = previous;
        return static_cast<std::uint32_t>(activeCode);
    }
    activeJump = &jump;
    try {
        body(context);
    } catch (...) {
        activeJump = previous;
        throw;
    }
    activeJump = previous;
    return 0;
}

}  // namespace ZintarUtil
