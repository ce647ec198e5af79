// ServerService: the driver intake, the timers' callback and the pipe requests.
#include <string>

#include "Server/RequestDispatch.h"
#include "Server/win32/ServerService.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/TextHelpers.h"
#include "util/ZintarDeviceInterface.h"
#include "util/win32/LogFolderCheck.h"

namespace ZintarServer {

using ZintarUtil::InfiniteTimeout;
using ZintarUtil::LogMessage;
using ZintarUtil::Mutex;
using ZintarUtil::PipeReply;
using ZintarUtil::PipeRequest;
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

    void StartRestart() override { service.RequestRestart(); }

    std::string DefaultLogFileName() override { return ZintarUtil::GetExecutableRelativePath("Logs.dat"); }

    std::optional<std::string> RefusalOfLogFileLocation(const std::string& path) override
    {
        const DWORD attributes = GetFileAttributesA(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return "the log file's path names a folder";
        const std::string::size_type separator = path.find_last_of("\\/");
        if (separator == std::string::npos)
            return "the log file's path names no folder; give a full path";
        const std::string folder = path.substr(0, separator + 1);  // "C:\" stays a root
        const DWORD folderAttributes = GetFileAttributesA(folder.c_str());
        if (folderAttributes == INVALID_FILE_ATTRIBUTES || (folderAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return "the folder " + folder + " does not exist";
        return ZintarUtil::RefusalOfLogFolder(path);
    }

    bool DeviceOpen() override { return service.deviceOpen; }

private:
    ServerService& service;
};

void ServerService::PollDriver()
{
    Mutex::Access intake(intakeMutex, InfiniteTimeout);
    TryOpenDevice();
    if (!device)
        return;
    std::uint32_t unflushed = 0;
    LogMessage message;
    // A failed read and an empty driver look the same: either ends the drain. The byte count is
    // not examined: the driver delivers a whole message on every successful call.
    while (device->ReadMessage(message)) {
        messageFile.AddMessage(message);
        // A driver fed faster than one poll drains it would otherwise be read for as long as the
        // stream lasts: nothing reaches the ring meanwhile, and every record waits in memory. A
        // small ring is written every half ring, so that a burst is always written numbered.
        if (++unflushed == kDrainBatch || messageFile.HalfRingPending()) {
            messageFile.FlushWrites();
            unflushed = 0;
        }
    }
    const DWORD readError = GetLastError();
    if (deviceAvailability.ReadFailed(readError)) {
        ZintarUtil::WriteLog("The Zintar device driver stopped answering (error " + std::to_string(readError) +
                             "); the service opens it again at the next poll.");
        CloseDevice();
    }
    // Counts messages read, not admitted: a poll whose messages were all refused still flushes.
    // Records that an earlier flush failed to write are tried again even when the driver is
    // quiet: otherwise they would wait for the next message, or be lost at the stop.
    if (unflushed > 0 || messageFile.HasUnwritten())
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

void ServerService::HandleMessage(const PipeRequest& request, PipeReply& reply, const Caller& caller)
{
    RequestTargetAdapter target(*this);
    DispatchRequest(request, reply, target, caller);
}

void ServerService::ConnectionClosed(PipeServerHandleThread* connection)
{
    pipeServer.RemoveConnection(connection);
}

}  // namespace ZintarServer
