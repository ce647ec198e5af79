#include "Server/win32/MessageFileMonitor.h"

#include "Server/win32/MessageFileServer.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"

namespace ZintarServer {

using ZintarUtil::InfiniteTimeout;
using ZintarUtil::Mutex;

MessageFileMonitor::MessageFileMonitor(std::uint32_t period, std::uint32_t accessTimeout)
    : Thread("MessageFileMonitor"), period(period), accessTimeout(accessTimeout)
{
}

MessageFileMonitor::~MessageFileMonitor()
{
    Stop();
    Join(InfiniteTimeout);
}

void MessageFileMonitor::SetFile(MessageFileServer* newFile)
{
    Mutex::Access access(fileLock, InfiniteTimeout);
    file = newFile;
}

MessageFileServer* MessageFileMonitor::File()
{
    Mutex::Access access(fileLock, InfiniteTimeout);
    return file;
}

bool MessageFileMonitor::SleepRestOfPeriod(std::uint32_t elapsed)
{
    if (StopRequested() || elapsed >= period)
        return !StopRequested();
    const std::uint32_t rest = period - elapsed;
    for (std::uint32_t second = 0; second < rest / 1000; ++second) {
        Sleep(1000);
        if (StopRequested())
            return false;
    }
    Sleep(rest % 1000);
    return true;
}

std::uint32_t MessageFileMonitor::Run()
{
    while (!StopRequested()) {
        try {
            const std::int32_t start = ZintarUtil::ClockMilliseconds();
            if (MessageFileServer* target = File())
                target->CycleWriteAccess(accessTimeout);
            const auto elapsed =
                static_cast<std::uint32_t>(ZintarUtil::ClockMilliseconds()) - static_cast<std::uint32_t>(start);
            if (!SleepRestOfPeriod(elapsed))
                return 0;
        } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
            ZintarUtil::WriteLog("Exception was thrown in the MessageFileMonitor thread - " + e.GetFullMessage("\n"));
            // A cause that lasts (a share gone from under the file) fails every cycle: the next
            // one waits its period like any other instead of spinning.
            if (!SleepRestOfPeriod(0))
                return 0;
        }
    }
    return 0;
}

}  // namespace ZintarServer
