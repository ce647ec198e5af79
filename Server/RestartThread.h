// Applies new settings by stopping and starting the service one second after they were sent, on
// a thread of its own so that the request is answered at once. Restarts do not pile up: while one
// is under way (the service's restart flag is set), a further RestartThread ends at once.
#pragma once

#include <cstdint>

#include "Thread.h"

namespace ZintarServer {

class ServerService;

class RestartThread : public ZintarUtil::Threading::Thread {
public:
    static constexpr std::uint32_t kDelay = 1000;  // ms between the request and the stop

    // Deletes itself when its run ends: create it on the heap and leave it alone after Start.
    explicit RestartThread(ServerService* service);

protected:
    std::uint32_t Run() override;

private:
    ServerService* service;
};

}  // namespace ZintarServer
