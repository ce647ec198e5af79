// ServerService: the driver intake, the timers' callback and the pipe requests.
#include "ServerService.h"

#include "DiagnosticLog.h"
#include "Exceptions.h"
#include "RequestDispatch.h"
#include "RestartThread.h"
#include "TextHelpers.h"
#include "ZintarDeviceInterface.h"

namespace ZintarServer {

using ZintarUtil::InfiniteTimeout;
using ZintarUtil::LogMessage;
using ZintarUtil::Mutex;
using ZintarUtil::Exceptions::ExceptionBase;

static_assert(ZINTAR_MESSAGE_SIZE == sizeof(LogMessage));

// The request table works on the service through this view of it.
class ServerService::RequestTargetAdapter final : public RequestTarget {
public:
    explicit RequestTargetAdapter(ServerService& service) : service(service) {}

    void WriteMessage(const LogMessage& message) override
    {
        Mutex::Access intake(service.intakeMutex, InfiniteTimeout);
        service.messageFile.AddMessage(message);
        service.messageFile.FlushWrites();
    }

    void WithSettings(const std::function<void(ServiceSettings&)>& work) override
    {
        Mutex::Access access(service.settingsMutex, InfiniteTimeout);
        work(service.settings);
    }

    // The thread owns itself from Start on; the handler does not wait for it.
    void StartRestart() override
    {
        std::unique_ptr<RestartThread> restart(new RestartThread(&service));
        restart->Start();
        restart.release();
    }

    std::string DefaultLogFileName() override { return ZintarUtil::GetExecutableRelativePath("Logs.dat"); }

private:
    ServerService& service;
};

void ServerService::PollDriver()
{
    Mutex::Access intake(intakeMutex, InfiniteTimeout);
    bool received = false;
    LogMessage message;
    DWORD returned = 0;
    // A failed read and an empty driver look the same: either ends the drain. The byte count is
    // not examined: the driver delivers a whole message on every successful call.
    while (DeviceIoControl(device, IOCTL_READ_MESSAGE, nullptr, 0, &message, sizeof message, &returned, nullptr) == 1) {
        received = true;
        messageFile.AddMessage(message);
    }
    // Counts messages read, not admitted: a poll whose messages were all refused still flushes.
    if (received)
        messageFile.FlushWrites();
}

void ServerService::OnTimer(std::uint32_t id)
{
    try {
        if (id == kPollTimerId)
            PollDriver();
        else if (id == kWriteTimerId)
            messageFile.WriteToDisk();
    } catch (const ExceptionBase& e) {
        ZintarUtil::WriteLog("Exception thrown in timer callback : " + e.GetFullMessage("\n"));
    }
}

void ServerService::HandleMessage(const PipeRequest& request, PipeReply& reply)
{
    RequestTargetAdapter target(*this);
    DispatchRequest(request, reply, target);
}

void ServerService::ConnectionClosed(PipeServerHandleThread* connection)
{
    pipeServer.RemoveConnection(connection);
}

}  // namespace ZintarServer
