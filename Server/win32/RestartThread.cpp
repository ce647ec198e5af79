#include "Server/win32/RestartThread.h"

#include <windows.h>

#include "Server/win32/ServerService.h"

namespace ZintarServer {

namespace {

constexpr char kEventsFailure[] = "Failed to create the restart thread's events";

}  // namespace

RestartThread::RestartThread(ServerService* service)
    : Thread("Restart Thread"), service(service), requested(ZintarUtil::NewUnsignalledEvent(kEventsFailure)),
      cancelled(ZintarUtil::NewUnsignalledEvent(kEventsFailure))
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
    requested->SetSignal();
}

void RestartThread::Stop()
{
    Thread::Stop();
    cancelled->SetSignal();
}

// A failing restart reports the service STOPPED through the framework; the thread goes on waiting
// until it is stopped. The restart flag keeps its meaning: while it is set, a request starts no
// second restart.
std::uint32_t RestartThread::Run()
{
    const HANDLE wakeUps[] = {cancelled->Handle(), requested->Handle()};
    while (WaitForMultipleObjects(2, wakeUps, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        // A request that comes after this is one more wake-up; one before it folds into this one.
        requested->RemoveSignal();
        if (service->VerifyRestartFlag())
            continue;
        if (cancelled->Wait(kDelay))
            break;
        service->Restart();
    }
    return 0;
}

}  // namespace ZintarServer
