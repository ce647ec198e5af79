#include "RestartThread.h"

#include <windows.h>

#include "ServerService.h"

namespace ZintarServer {

RestartThread::RestartThread(ServerService* service) : Thread("Restart Thread"), service(service)
{
    SetAutoDelete();
}

// A failing OnStop or OnStart leaves Run and is logged by the thread base; the restart flag then
// stays set, so no further restart starts until a start succeeds.
std::uint32_t RestartThread::Run()
{
    if (service->VerifyRestartFlag())
        return 0;
    Sleep(kDelay);
    ZintarUtil::Services::Service* restarted = service;
    restarted->OnStop();
    restarted->OnStart();
    return 0;
}

}  // namespace ZintarServer
