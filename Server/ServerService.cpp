// ServerService: construction, start, stop, destruction, settings and the restart flag.
#include "ServerService.h"

#include "DiagnosticLog.h"
#include "Exceptions.h"
#include "LogFileFormat.h"
#include "RegistryKey.h"
#include "SettingsStore.h"
#include "TextHelpers.h"
#include "ZintarDeviceInterface.h"

namespace ZintarServer {

using ZintarUtil::InfiniteTimeout;
using ZintarUtil::Mutex;
using ZintarUtil::Timeout;
using ZintarUtil::Exceptions::ExceptionBase;
using ZintarUtil::Exceptions::ExceptionWindows;

ServerService::ServerService()
    : pipeServer(kPipeName),
      pollTimer(kPollTimerId, "Driver Poll"),
      writeTimer(kWriteTimerId, "File Write"),
      messageFile(&settings, &settingsMutex)
{
}

ServerService::~ServerService() noexcept(false)
{
    if (!stopped) {
        try {
            OnStop();
        } catch (const ExceptionBase& e) {
            ZintarUtil::WriteLog("Exception thrown in service destructor : " + e.GetFullMessage("\n"));
        }
    }
    StopWhatStillRuns();
}

// After a stop that failed half-way (or a start that failed after starting things), timers and
// connections may still call into this object, and the log file may still be open; its closing
// takes settingsMutex, which is destroyed before messageFile. So everything is ended here, while
// every member still exists. After a normal stop each step finds nothing to do.
void ServerService::StopWhatStillRuns()
{
    try {
        Timeout budget(kStopBudget);
        writeTimer.Stop();
        pollTimer.Stop();
        pipeServer.Stop();
        pollTimer.Join(budget);
        writeTimer.Join(budget);
        pipeServer.Join(budget);
        messageFile.CloseFile(budget);
    } catch (const ExceptionBase& e) {
        ZintarUtil::WriteLog("Exception thrown in service destructor : " + e.GetFullMessage("\n"));
    }
    CloseDevice();
}

void ServerService::OpenDevice()
{
    if (device != INVALID_HANDLE_VALUE)
        return;
    device = CreateFileA(ZINTAR_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        throw ExceptionWindows("Failed to get access to the Zintar device driver, CreateFile() failed.");
}

void ServerService::CloseDevice()
{
    if (device != INVALID_HANDLE_VALUE) {
        CloseHandle(device);
        device = INVALID_HANDLE_VALUE;
    }
}

void ServerService::OnStart()
{
    OpenDevice();
    Mutex::Access intake(intakeMutex, InfiniteTimeout);
    pipeServer.SetMessageHandler(this);
    writeTimer.SetCallback(this);
    pollTimer.SetCallback(this);
    LoadSettings();
    messageFile.OpenFile(ZintarUtil::kFileMapName, ZintarUtil::kHeaderMutexName, ZintarUtil::kReadWaitEventName,
                         ZintarUtil::kWriteWaitEventName);
    pipeServer.Start();
    pollTimer.Start();
    writeTimer.SetPeriod(settings.saveRate * 1000u);
    writeTimer.Start();
    restarting = false;
    stopped = false;
}

void ServerService::OnStop()
{
    Timeout budget(kStopBudget);
    RegistryKey key(HKEY_LOCAL_MACHINE, kSettingsKeyPath);
    const std::string oldPath = key.ReadData("LogFile", ZintarUtil::GetExecutableRelativePath("Logs.dat"));
    SaveSettings();

    writeTimer.Stop();
    pipeServer.Stop();
    pollTimer.Stop();
    pollTimer.Join(budget);
    pipeServer.Join(budget);
    messageFile.CloseFile(budget);
    messageFile.WaitForFileFree(budget);

    Mutex::Access access(settingsMutex, InfiniteTimeout);
    // The running file was opened at the old path; a path changed over the pipe takes the file
    // along. A failed move leaves it where it was, and the next start makes a new one.
    if (oldPath != settings.logFile)
        MoveFileA(oldPath.c_str(), settings.logFile.c_str());
    writeTimer.Join(budget);
    CloseDevice();
    stopped = true;
}

void ServerService::LoadSettings()
{
    ZintarServer::LoadSettings(settings, settingsMutex);
    Mutex::Access access(settingsMutex, InfiniteTimeout);
    pollTimer.SetPeriod(settings.devicePollRate);
}

void ServerService::SaveSettings()
{
    ZintarServer::SaveSettings(settings, settingsMutex);
}

bool ServerService::VerifyRestartFlag()
{
    try {
        Mutex::Access access(restartMutex, InfiniteTimeout);
        const bool wasRestarting = restarting;
        restarting = true;
        return wasRestarting;
    } catch (const ExceptionBase& e) {
        ZintarUtil::WriteLog("Exception thrown in restarting flag verifier : " + e.GetFullMessage("\n"));
        return false;
    }
}

}  // namespace ZintarServer
