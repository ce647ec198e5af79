// The watchdog of the log file: every few seconds it takes write access with a bounded budget and
// gives it back at once, so that a reader that died inside read access blocks the writer for one
// cycle at the most, and a change waiting to be published reaches the update count.
#pragma once

#include <cstdint>

#include "util/win32/Mutex.h"
#include "util/win32/Thread.h"

namespace ZintarServer {

class MessageFileServer;

class MessageFileMonitor : public ZintarUtil::Threading::Thread {
public:
    MessageFileMonitor(std::uint32_t period, std::uint32_t accessTimeout);
    ~MessageFileMonitor() override;

    // The file to cycle; null for none.
    void SetFile(MessageFileServer* file);

protected:
    std::uint32_t Run() override;

private:
    MessageFileServer* File();
    // Sleeps what is left of the period in steps of at most a second; false when a stop was
    // requested meanwhile.
    bool SleepRestOfPeriod(std::uint32_t elapsed);

    ZintarUtil::Mutex fileLock;
    MessageFileServer* file = nullptr;
    std::uint32_t period;
    std::uint32_t accessTimeout;
};

}  // namespace ZintarServer
