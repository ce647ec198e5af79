#include "util/win32/ConsoleInterrupt.h"

#include <mutex>

#include "util/win32/Event.h"

namespace ZintarUtil {

namespace {

// What the handler reaches. Never destroyed: the handler may run after main returns.
struct Interrupt {
    Event signal{"", nullptr};
    std::mutex lock;  // the action, taken by the handler while it runs it
    std::function<void()> action;
};

BOOL WINAPI OnConsoleControl(DWORD);

Interrupt& Shared()
{
    static Interrupt* const shared = [] {
        auto* made = new Interrupt;
        made->signal.RemoveSignal();
        SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
        return made;
    }();
    return *shared;
}

BOOL WINAPI OnConsoleControl(DWORD)
{
    Interrupt& shared = Shared();
    try {
        shared.signal.SetSignal();
        const std::lock_guard<std::mutex> held(shared.lock);
        if (shared.action)
            shared.action();
    } catch (...) {
        // Nothing to add on the console's thread: the event is what the tool looks at.
    }
    return TRUE;
}

}  // namespace

ConsoleInterrupt::ConsoleInterrupt(std::function<void()> onInterrupt)
{
    Interrupt& shared = Shared();
    const std::lock_guard<std::mutex> held(shared.lock);
    shared.action = std::move(onInterrupt);
}

ConsoleInterrupt::~ConsoleInterrupt()
{
    Interrupt& shared = Shared();
    const std::lock_guard<std::mutex> held(shared.lock);
    shared.action = nullptr;
}

bool ConsoleInterrupt::Wait(std::uint32_t milliseconds) const
{
    return Shared().signal.Wait(milliseconds);
}

HANDLE ConsoleInterrupt::Handle() const
{
    return Shared().signal.Handle();
}

}  // namespace ZintarUtil
