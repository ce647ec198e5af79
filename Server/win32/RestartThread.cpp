#include "Server/win32/RestartThread.h"

#include <windows.h>

#include "Server/win32/ServerService.h"
#include "util/Exceptions.h"

namespace ZintarServer {

namespace {

HANDLE NewEvent(BOOL manualReset)
{
    const HANDLE event = CreateEventA(nullptr, manualReset, FALSE, nullptr);
    if (event == nullptr)
        throw ZintarUtil::Exceptions::ExceptionWindows("Failed to create the restart thread's events");
    return event;
}

}  // namespace

RestartThread::RestartThread(ServerService* service)
    : Thread("Restart Thread"), service(service), requested(NewEvent(FALSE)), cancelled(NewEvent(TRUE))
{
}

RestartThread::~RestartThread()
{
    Stop();
    ZintarUtil::Timeout budget(ServerService::kStopBudget);
    Join(budget);
}

void RestartThread::Request()
{
    SetEvent(requested.Get());
}

void RestartThread::Stop()
{
    Thread::Stop();
    SetEvent(cancelled.Get());
}

// A failing restart reports the service STOPPED through the framework; the thread goes on waiting
// until it is stopped. The restart flag keeps its meaning: while it is set, a request starts no
// second restart.
std::uint32_t RestartThread::Run()
{
    const HANDLE wakeUps[] = {cancelled.Get(), requested.Get()};
    while (WaitForMultipleObjects(2, wakeUps, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        if (service->VerifyRestartFlag())
            continue;
        if (WaitForSingleObject(cancelled.Get(), kDelay) != WAIT_TIMEOUT)
            break;
        service->Restart();
    }
    return 0;
}

}  // namespace ZintarServer
