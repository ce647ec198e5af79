// Ctrl-C, Ctrl-Break and the console's close, for a tool that runs until the user stops it. The
// console calls its handler on a thread of its own: the handler signals an event and calls the
// action given, so the tool's threads look at the event and never at a flag the two threads share
// without synchronisation.
//
//   ConsoleInterrupt interrupt;                  // follow: poll until Ctrl-C
//   while (!interrupt.Wait(pollMs)) Poll();
//   ConsoleInterrupt stop([&] { server.Stop(); });  // web: Ctrl-C ends Run()
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

namespace ZintarUtil {

class ConsoleInterrupt {
public:
    // Installs the handler (once a process; the event it signals lives for the rest of the process,
    // since the handler may still run while the main thread returns). While this object lives,
    // Ctrl-C also calls `onInterrupt` on the console's thread; it must be safe from any thread.
    explicit ConsoleInterrupt(std::function<void()> onInterrupt = {});
    ConsoleInterrupt(const ConsoleInterrupt&) = delete;
    ConsoleInterrupt& operator=(const ConsoleInterrupt&) = delete;
    // Waits for an action that is running to end; Ctrl-C calls none after this.
    ~ConsoleInterrupt();

    // True once Ctrl-C came. Safe from any thread.
    bool Interrupted() const { return Wait(0); }
    // Waits at most `milliseconds`; true as soon as Ctrl-C came.
    bool Wait(std::uint32_t milliseconds) const;
    // Signalled once Ctrl-C came, for a wait on several handles.
    HANDLE Handle() const;
};

}  // namespace ZintarUtil
