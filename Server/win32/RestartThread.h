// Applies new settings by stopping and starting the service one second after they were sent, on
// a thread of its own ("Restart Thread") so that the request is answered at once.
//
// One thread serves every restart of the service's life: Request() (any thread, no lock) wakes
// it, it waits the second and then asks the service framework to restart, which runs under the
// framework's control lock like every start and stop. Requests that arrive while a restart is
// pending or under way fold into it. Stop() cancels a pending restart at once; the owner then
// joins the thread, so nothing it uses goes away while it runs.
#pragma once

#include <cstdint>
#include <memory>

#include "util/win32/Event.h"
#include "util/win32/Thread.h"

namespace ZintarServer {

class ServerService;

class RestartThread : public ZintarUtil::Threading::Thread {
public:
    static constexpr std::uint32_t kDelay = 1000;  // ms between the request and the stop

    explicit RestartThread(ServerService* service);
    ~RestartThread() override;

    void Request();
    // Sets the stop request and cancels a pending restart; does not wait.
    void Stop() override;

protected:
    std::uint32_t Run() override;

private:
    ServerService* service;
    std::unique_ptr<ZintarUtil::Event> requested;  // cleared as the thread wakes: one wake-up per batch
    std::unique_ptr<ZintarUtil::Event> cancelled;  // set by Stop for good
};

}  // namespace ZintarServer
