// ServerService: construction, start, stop, destruction, settings and the restart flag.
#include "Server/win32/ServerService.h"

#include "Server/win32/SettingsStore.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/LogFileFormat.h"
#include "util/TextHelpers.h"
#include "util/win32/LogFolderCheck.h"

namespace ZintarServer {

using ZintarUtil::InfiniteTimeout;
using ZintarUtil::Mutex;
using ZintarUtil::Timeout;
using ZintarUtil::Exceptions::ExceptionBase;
using ZintarUtil::Exceptions::ExceptionWindows;

ServerService::ServerService()
    : pipeServer(ZintarUtil::kRequestPipeName), pollTimer(kPollTimerId, "Driver Poll"),
      writeTimer(kWriteTimerId, "File Write"), messageFile(&settings, &settingsMutex), restartThread(this)
{
    restartThread.Start();
}

ServerService::~ServerService() noexcept(false)
{
    OnStopRequested();
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
    stopped = true;
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

void ServerService::OnStopRequested()
{
    // A restart under way may be waiting in its start for clients of the log file: that wait ends
    // now, and the restart with it, so the stop does not wait behind it.
    messageFile.CancelClientWaits();
    restartThread.Stop();
    Timeout budget(kStopBudget);
    restartThread.Join(budget);
}

void ServerService::TryOpenDevice()
{
    if (device)
        return;
    device = ZintarUtil::ZintarDeviceClient::TryOpen();
    if (!device) {
        const ExceptionWindows failure("Failed to get access to the Zintar device driver, CreateFile() failed.");
        if (deviceAvailability.OpenFailed() == DeviceAvailability::Line::Missing) {
            ZintarUtil::WriteLog(failure.GetFullMessage("\n"));
            ZintarUtil::WriteLog(
                "The service runs without the Zintar device and opens it at the first poll that finds it.");
        }
        return;
    }
    deviceOpen = true;
    if (deviceAvailability.Opened() == DeviceAvailability::Line::Appeared)
        ZintarUtil::WriteLog("The Zintar device driver is available now; its messages are read from this poll on.");
}

void ServerService::CloseDevice()
{
    if (device) {
        deviceOpen = false;
        device.reset();
    }
}

// A LogFile that cannot be used (a folder or share that went away, a path that names a folder, a
// value too long to read, a file of another program) must not keep the service from running, and
// nothing may be lost by it: the log goes to the default path, the diagnostic log and GetSettings
// say so, and LogFile stays as it is for the administrator to correct. A file at the default path
// that is not a log file is moved aside rather than overwritten. Only a failure on the default
// path itself ends the start. The service opens, sets aside and moves its log with the system's
// rights: a configured path whose folder ordinary users may write into (where a planted link
// would turn those operations onto any file) is refused the same way; the default folder is the
// administrator's choice of install folder, so there the diagnostic log only says so.
void ServerService::OpenLogFile()
{
    const std::string fallback = ZintarUtil::GetExecutableRelativePath("Logs.dat");
    std::string configured;
    bool unreadable = false;
    {
        Mutex::Access access(settingsMutex, InfiniteTimeout);
        configured = settings.logFile;
        unreadable = settings.logFileFallback;  // LoadSettings could not read LogFile
        logFileAtStart = configured;
    }
    if (!unreadable && configured != fallback) {
        try {
            const ZintarUtil::CheckedLogFolder folder(configured);  // held until the file is open
            if (const auto& refusal = folder.Refusal())
                throw ExceptionBase("The log file " + configured + " is refused: " + *refusal);
            OpenLogFileAt(configured, false, MessageFileServer::ForeignFile::Refuse);
            return;
        } catch (const ExceptionBase& e) {
            ZintarUtil::WriteLog("Failed to use the log file " + configured + ", using " + fallback +
                                 " until LogFile is corrected : " + e.GetFullMessage("\n"));
        }
    }
    const ZintarUtil::CheckedLogFolder fallbackFolder(fallback);
    if (const auto& refusal = fallbackFolder.Refusal())
        ZintarUtil::WriteLog("The default log file " + fallback + " is used although " + *refusal);
    OpenLogFileAt(fallback, unreadable || configured != fallback, MessageFileServer::ForeignFile::SetAside);
}

void ServerService::OpenLogFileAt(const std::string& path, bool fallback, MessageFileServer::ForeignFile foreign)
{
    {
        Mutex::Access access(settingsMutex, InfiniteTimeout);
        settings.logFileInUse = path;
        settings.logFileFallback = fallback;
    }
    messageFile.OpenFileAt(path, ZintarUtil::kFileMapName, ZintarUtil::kHeaderMutexName, ZintarUtil::kReadWaitEventName,
                           ZintarUtil::kWriteWaitEventName, foreign);
}

// The running file moves only when its path was changed over the pipe while it ran; a start that
// had to fall back to the default path never moves the log onto the path it could not use. A
// failed move leaves the file where it was, and the next start makes a new one.
void ServerService::MoveLogFileIfAsked()
{
    Mutex::Access access(settingsMutex, InfiniteTimeout);
    if (settings.logFile == logFileAtStart || settings.logFileInUse.empty() ||
        settings.logFile == settings.logFileInUse)
        return;
    const ZintarUtil::CheckedLogFolder target(settings.logFile);  // held until the move is done
    if (const auto& refusal = target.Refusal()) {
        ZintarUtil::WriteLog("The log file stays at " + settings.logFileInUse + ", " + settings.logFile +
                             " is refused: " + *refusal);
        return;
    }
    MoveFileA(settings.logFileInUse.c_str(), settings.logFile.c_str());
}

void ServerService::OnStart()
{
    Mutex::Access intake(intakeMutex, InfiniteTimeout);
    TryOpenDevice();
    pipeServer.SetMessageHandler(this);
    writeTimer.SetCallback(this);
    pollTimer.SetCallback(this);
    LoadSettings();
    ReportProgress();
    OpenLogFile();  // may wait for clients of an older file to let go
    ReportProgress();
    pipeServer.SetStrictClientAccess(settings.strictClientAccess);
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
    SaveSettings();

    writeTimer.Stop();
    pipeServer.Stop();
    pollTimer.Stop();
    pollTimer.Join(budget);
    pipeServer.Join(budget);
    // A save under way finishes before the file closes (the file also waits for it): it uses the
    // mapping and the locks that the close gives up.
    writeTimer.Join(budget);
    WriteWhatWasRead();
    ReportProgress();
    messageFile.CloseFile(budget);
    ReportProgress();
    messageFile.WaitForFileFree(budget);
    ReportProgress();
    MoveLogFileIfAsked();
    CloseDevice();
    stopped = true;
}

// Messages read from the driver that a failed flush left in the queue are written before the file
// closes: the driver has given them up, and nothing else would keep them.
void ServerService::WriteWhatWasRead()
{
    try {
        Mutex::Access intake(intakeMutex, InfiniteTimeout);
        if (messageFile.HasUnwritten())
            messageFile.FlushWrites();
    } catch (const ExceptionBase& e) {
        ZintarUtil::WriteLog("Failed to write the messages read before the stop : " + e.GetFullMessage("\n"));
    }
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
