// The log service: the one object the program builds and hands to the service framework. It owns
// the pipe server, the driver poll and file write timers, the settings, the writer of the shared
// log file, the restart thread and the locks that keep them consistent.
//
// Threads that reach it: the service main (OnStart), the "Service Stop" thread (OnStop), the
// "Driver Poll" and "File Write" timers (OnTimer), every pipe connection (HandleMessage,
// ConnectionClosed), the "Restart Thread" (OnStop then OnStart, through the framework's Restart)
// and the main thread at exit. Starts, stops and restarts run one at a time under the framework's
// control lock.
//
// Locks, in the order they may be nested: the framework's controlMutex, intakeMutex (driver poll,
// client WriteMessage, the whole of OnStart), the log file's write or read access, settingsMutex
// (the settings). restartMutex is never held with another lock.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "Server/DeviceAvailability.h"
#include "Server/ServiceSettings.h"
#include "Server/win32/MessageFileServer.h"
#include "Server/win32/PipeServer.h"
#include "Server/win32/PipeServerMessageHandler.h"
#include "Server/win32/RestartThread.h"
#include "util/win32/Mutex.h"
#include "util/win32/Service.h"
#include "util/win32/Timer.h"
#include "util/win32/ZintarDeviceClient.h"

namespace ZintarServer {

class ServiceInterface : public PipeServerMessageHandler, public ZintarUtil::TimerCallback {
public:
    ~ServiceInterface() noexcept(false) override = default;
};

class ServerService : public ZintarUtil::Services::Service, public ServiceInterface {
public:
    static constexpr std::uint32_t kPollTimerId = 0;
    static constexpr std::uint32_t kWriteTimerId = 1;
    static constexpr std::uint32_t kStopBudget = 15000;  // ms, shared by every wait of OnStop
    // A poll writes what it has read at least every this many messages (1,024 records are
    // 560 KB): a sustained stream reaches the ring in batches, and the memory a burst takes stays
    // this small, however long the driver's queue is.
    static constexpr std::uint32_t kDrainBatch = 1024;

    ServerService();
    // A running service is stopped first.
    ~ServerService() noexcept(false) override;

    // Tries to open the device (a missing one is opened at a later poll), loads the settings,
    // opens the log file (on the default path when LogFile cannot be used) and starts the pipe
    // server and both timers, holding intakeMutex throughout.
    // Throws what fails; the framework then ends what had started (StopWhatStillRuns).
    void OnStart() override;
    // Within one 15 s budget: saves the settings, ends the timers and the pipe server, closes the
    // log file, waits until no client holds it, moves it when its path was changed over the pipe,
    // closes the device.
    void OnStop() override;
    // Ends the threads that call into this object and closes the log file and the device; after a
    // normal stop each step finds nothing to do.
    void StopWhatStillRuns() override;
    // Cancels a restart that has not begun and waits for one under way.
    void OnStopRequested() override;

    // Called on every pipe connection's thread.
    void HandleMessage(const ZintarUtil::PipeRequest& request, ZintarUtil::PipeReply& reply,
                       const Caller& caller) override;
    void ConnectionClosed(PipeServerHandleThread* connection) override;

    // Called on the timers' threads: id 0 polls the driver, id 1 forces the log file to disk.
    void OnTimer(std::uint32_t id) override;

    // Opens the device when it is not open yet; reads it until it has nothing more, adds each
    // message to the write queue and flushes once when anything was read.
    void PollDriver();

    // Reads the restart flag and sets it in one step; true when a restart is already under way.
    bool VerifyRestartFlag();
    // Asks the restart thread to apply new settings a second from now.
    void RequestRestart() { restartThread.Request(); }

private:
    class RequestTargetAdapter;

    void LoadSettings();
    void SaveSettings();
    // Opens the device unless it is open; a failure is no error (the driver may not be loaded
    // yet, at boot): the diagnostic log says so once, and once more when the device appears.
    void TryOpenDevice();
    void CloseDevice();
    // Opens the log file at `logFile`, or, when that cannot be used, at the default path.
    void OpenLogFile();
    void OpenLogFileAt(const std::string& path, bool fallback, MessageFileServer::ForeignFile foreign);
    // The move of the log file that a SetLogFileName asked for, at the stop.
    void MoveLogFileIfAsked();
    void WriteWhatWasRead();

    bool stopped = true;
    PipeServer pipeServer;
    ZintarUtil::Timer pollTimer;
    ZintarUtil::Timer writeTimer;
    ServiceSettings settings;
    MessageFileServer messageFile;
    ZintarUtil::Mutex intakeMutex;
    ZintarUtil::Mutex settingsMutex;
    bool restarting = false;
    ZintarUtil::Mutex restartMutex;
    std::optional<ZintarUtil::ZintarDeviceClient> device;
    std::atomic<bool> deviceOpen{false};
    DeviceAvailability deviceAvailability;  // used under intakeMutex
    // `logFile` as the last start found it: a different one at the stop was set over the pipe.
    std::string logFileAtStart;
    // Last, so that it is stopped and joined before anything it uses goes.
    RestartThread restartThread;
};

}  // namespace ZintarServer
