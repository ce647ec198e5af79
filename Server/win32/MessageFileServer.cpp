// MessageFileServer: taking the log file into use and out of use, and saving it; the parts named
// in the header do the work.
#include "Server/win32/MessageFileServer.h"

#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/GuardedViewAccess.h"
#include "util/TextHelpers.h"
#include "util/win32/ClientAccess.h"
#include "util/win32/SecurityDescriptors.h"

namespace ZintarServer {

using ZintarUtil::FileHeader;
using ZintarUtil::GuardedViewAccess;
using ZintarUtil::InfiniteTimeout;
using ZintarUtil::Mutex;
using ZintarUtil::Timeout;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

namespace ClientAccess = ZintarUtil::ClientAccess;

FileHeader* HeaderIn(unsigned char* view)
{
    return reinterpret_cast<FileHeader*>(view);
}

}  // namespace

MessageFileServer::MessageFileServer(ServiceSettings* settings, Mutex* settingsMutex)
    : settings(settings), settingsMutex(settingsMutex),
      fileView(fileMapping, view, viewLength, fileMapName, diskFile, clients),
      gate({*this, headerMutex, readWaitEvent, writeWaitEvent, view}, kMonitorAccessTimeout),
      ring(*this, fileView, gate, settings, settingsMutex),
      startup({*this, diskFile, fileView, gate, ring, clients}, settings, settingsMutex),
      monitor(kMonitorPeriod, kMonitorAccessTimeout)
{
    // The service reads only to save (WriteToDisk): a writer of its own gives the file back within
    // a monitor budget and the time to write a batch, so a wait this long means something is
    // wrong, and the save gives up rather than holding up the close behind it.
    SetReaderWaitLimit(kSaveReadWaitLimit);
}

MessageFileServer::~MessageFileServer() noexcept(false)
{
    release.Run([this] { CloseFile(InfiniteTimeout); });
}

std::uint32_t MessageFileServer::FileLength()
{
    return ZintarUtil::FileLengthFor(MaxMessage());
}

std::uint32_t MessageFileServer::MaxMessage()
{
    Mutex::Access access(settingsMutex, InfiniteTimeout);
    return settings->maxMessage;
}

bool MessageFileServer::ClientAccessIsStrict()
{
    Mutex::Access access(settingsMutex, InfiniteTimeout);
    return settings->strictClientAccess;
}

template <class Step>
auto MessageFileServer::ClosingOnFailure(Step&& step)
{
    try {
        return step();
    } catch (...) {
        CloseFile(InfiniteTimeout);
        throw;
    }
}

void MessageFileServer::OpenFile(const std::string& newFileMapName, const std::string& newHeaderMutexName,
                                 const std::string& newReadWaitEventName, const std::string& newWriteWaitEventName)
{
    std::string path;
    {
        Mutex::Access access(settingsMutex, InfiniteTimeout);
        path = settings->logFile;
    }
    OpenFileAt(path, newFileMapName, newHeaderMutexName, newReadWaitEventName, newWriteWaitEventName);
}

void MessageFileServer::OpenFileAt(const std::string& path, const std::string& newFileMapName,
                                   const std::string& newHeaderMutexName, const std::string& newReadWaitEventName,
                                   const std::string& newWriteWaitEventName, ForeignFile foreign)
{
    const std::uint32_t maxMessage = MaxMessage();
    CloseFile(InfiniteTimeout);
    diskFile.SetPath(path);
    strictAccess = ClientAccessIsStrict();
    // A limit of 0 leaves no slot to write to, and one above 7,669,584 a length beyond 32 bits:
    // such a file is never made.
    if (!ZintarUtil::IsStorableCapacity(maxMessage))
        throw ExceptionBase("Failed to open log file, MaxMessage " + ZintarUtil::UIntToString(maxMessage) +
                            " is outside 1 to " + ZintarUtil::UIntToString(ZintarUtil::kMaxCapacity));

    OpenSharedObjects(newFileMapName, newHeaderMutexName, newReadWaitEventName, newWriteWaitEventName);
    RecoverFromDeadWriter();
    DWORD size = 0;
    const bool existed = OpenLogFile(foreign, size);
    startup.TakeIntoUse(existed, size, ExpectedLockNames(), strictAccess);

    try {
        GuardedViewAccess([this] { HeaderIn(view.Data())->serverRunning = 1; });
    } catch (const ExceptionBase& e) {
        CloseFile(InfiniteTimeout);
        throw ExceptionBase("Failed to set server running flag to true in log file during OpenFile()", &e);
    }
    monitor.SetFile(this);
    monitor.Start();
}

// An object a client held across a restart keeps the DACL of the start that made it until it is
// given this start's (a new one has it already), so that StrictClientAccess holds from every start.
// One that another account created first (its owner, checked by Mutex, Event and LogFileView) ends
// the start naming it with StrictClientAccess 0 as with 1: clients only ever open these objects,
// so such an object is a squatter's, and its owner could take back any access list given to it
// here, also once an administrator turns strict access on while a client holds it.
void MessageFileServer::OpenSharedObjects(const std::string& newFileMapName, const std::string& newHeaderMutexName,
                                          const std::string& newReadWaitEventName,
                                          const std::string& newWriteWaitEventName)
{
    ZintarUtil::EveryoneSecurityAttributes header(ClientAccess::kHeaderLockRights, strictAccess);
    ZintarUtil::EveryoneSecurityAttributes readWait(ClientAccess::kReadWaitEventRights, strictAccess);
    ZintarUtil::EveryoneSecurityAttributes writeWait(ClientAccess::kWriteWaitEventRights, strictAccess);
    MessageFile::OpenFile(
        newFileMapName, newHeaderMutexName, newReadWaitEventName, newWriteWaitEventName,
        {header.GetSecurityAttributes(), readWait.GetSecurityAttributes(), writeWait.GetSecurityAttributes()});
    ClosingOnFailure([&] {
        header.ApplyTo(headerMutex->Handle(), headerMutexName);
        readWait.ApplyTo(readWaitEvent->Handle(), readWaitEventName);
        writeWait.ApplyTo(writeWaitEvent->Handle(), writeWaitEventName);
    });
}

// No writer is inside write access now: this is the only writer, and it has not begun. A writer
// that died inside write access left readWaitEvent reset and its readers waiting; they are let in
// again here. One that died between taking the header mutex and giving it back left that taken
// too, and every reader, this writer's own first read access included, would wait for it forever:
// it is taken with the monitor's budget and given back, which frees it (a live reader holds it
// only for a few steps).
void MessageFileServer::RecoverFromDeadWriter()
{
    {
        Timeout budget(kMonitorAccessTimeout);
        Mutex::Access header(headerMutex.get(), budget);
    }
    readWaitEvent->SetSignal();
}

// A file of another program (a LogFile set by mistake), or one whose header area is gone, is never
// written into: it is refused, or moved aside for a new log file.
bool MessageFileServer::OpenLogFile(ForeignFile foreign, DWORD& size)
{
    const bool existed = ClosingOnFailure([this] { return diskFile.Open(); });
    size = diskFile.Size();
    if (!existed || size == 0 || diskFile.HoldsLockNames(ExpectedLockNames()))
        return existed;
    if (foreign == ForeignFile::Refuse) {
        ExceptionBase failure("The file " + diskFile.Path() +
                              " is not a log file of this service; it was left untouched");
        CloseFile(InfiniteTimeout);
        throw failure;
    }
    ClosingOnFailure([this] { diskFile.SetFileAside(); });
    size = 0;
    return false;
}

ZintarUtil::LockNames MessageFileServer::ExpectedLockNames() const
{
    return ZintarUtil::LockNamesOf(headerMutexName.c_str(), readWaitEventName.c_str(), writeWaitEventName.c_str());
}

void MessageFileServer::CloseFile(Timeout& timeout)
{
    // A save under way ends first: it uses the view, the events and the header lock that the
    // close gives up. It holds the lock a bounded time (its read access is bounded).
    Mutex::Access saving(saveLock, InfiniteTimeout);
    monitor.Stop();
    monitor.SetFile(nullptr);
    if (IsValid()) {
        WriteAccess access(this, timeout);
        try {
            GuardedViewAccess([this] { HeaderIn(view.Data())->serverRunning = 0; });
        } catch (const ExceptionBase& e) {
            throw ExceptionBase("Failed to set server running flag to false in log file during CloseFile()", &e);
        }
        // The pages reach the file when the view goes in any case: a save that fails here costs
        // only what a power loss would take, so the close goes on, and the stop ends normally.
        try {
            fileView.FlushView(
                "Failed to force log file changes to be saved to disk, FlushViewOfFile() failed in CloseFile()",
                FileLength());
            diskFile.FlushToDisk(
                "Failed to force log file changes to be saved to disk, FlushFileBuffers() failed in CloseFile()",
                timeout);
        } catch (const ExceptionBase& e) {
            ZintarUtil::WriteLog(e.GetFullMessage("\n"));
        }
    }
    monitor.Join(timeout);
    MessageFile::CloseFile();
    diskFile.Close();
}

bool MessageFileServer::WaitForFileFree(Timeout& timeout)
{
    // The file that was in use, which a stop may move next: clients hold that one, not a new path
    // set over the pipe. Before any file was opened, the configured one.
    std::string path = diskFile.Path();
    if (path.empty()) {
        Mutex::Access access(settingsMutex, timeout);
        path = settings->logFile;
    }
    LogFileHandle::WaitUntilFree(path, timeout);
    monitor.Join(timeout);
    return true;
}

void MessageFileServer::WriteToDisk()
{
    Mutex::Access saving(saveLock, InfiniteTimeout);
    if (!IsValid())
        return;  // closed meanwhile: the close has saved it
    {
        ReadAccess access(this);
        fileView.FlushView("Failed to force log file changes saved to disk, FlushViewOfFile() failed in WriteToDisk()",
                           FileLength());
    }
    // Outside read access: the disk may take a while, and writers need not wait for it.
    Timeout diskBudget(kDiskFlushLimit);
    diskFile.FlushToDisk("Failed to force log file changes saved to disk, FlushFileBuffers() failed in WriteToDisk()",
                         diskBudget);
}

void MessageFileServer::CycleWriteAccess(std::uint32_t readerBudget)
{
    Mutex::Access access(objectLock, InfiniteTimeout);
    gate.CycleWriteAccess(readerBudget);
}

MessageFileServer::WriteAccess::WriteAccess(MessageFileServer* file, Timeout& timeout) : file(file)
{
    if (file == nullptr)
        throw ExceptionBase("MessageFileServer WriteAccess object created with null pointer");
    file->GrabWriteAccess(timeout);
}

MessageFileServer::WriteAccess::~WriteAccess() noexcept(false)
{
    release.Run([this] { file->ReleaseWriteAccess(); });
}

}  // namespace ZintarServer
