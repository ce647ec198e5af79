// MessageFileServer: taking the log file into use and out of use, its mapping, and write access.
#include "MessageFileServer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "ClientAccess.h"
#include "DiagnosticLog.h"
#include "Exceptions.h"
#include "GuardedViewAccess.h"
#include "SecurityDescriptors.h"
#include "TextHelpers.h"

namespace ZintarServer {

using ZintarUtil::FileHeader;
using ZintarUtil::GuardedViewAccess;
using ZintarUtil::InfiniteTimeout;
using ZintarUtil::Mutex;
using ZintarUtil::Timeout;
using ZintarUtil::Exceptions::ExceptionBase;
using ZintarUtil::Exceptions::ExceptionWindows;

namespace {

namespace ClientAccess = ZintarUtil::ClientAccess;

FileHeader* HeaderIn(unsigned char* view)
{
    return reinterpret_cast<FileHeader*>(view);
}

// FlushFileBuffers on a thread of its own, through a handle of its own, so that the caller can stop
// waiting for a slow disk while the flush goes on and ends by itself.
class DiskFlush {
public:
    explicit DiskFlush(HANDLE file)
    {
        if (!DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &handle, 0, FALSE, DUPLICATE_SAME_ACCESS))
            return;
        thread.Take(CreateThread(nullptr, 0, &DiskFlush::Run, handle, 0, nullptr));
        if (thread.IsInvalid())
            CloseHandle(handle);
    }

    // True when the disk took everything within `timeout`; false with the thread's last error
    // set when it failed or when the time ran out (WAIT_TIMEOUT).
    bool Wait(Timeout& timeout)
    {
        if (thread.IsInvalid())
            return false;
        if (WaitForSingleObject(thread.Get(), timeout.Remaining()) != WAIT_OBJECT_0) {
            SetLastError(WAIT_TIMEOUT);
            return false;
        }
        DWORD error = ERROR_GEN_FAILURE;
        GetExitCodeThread(thread.Get(), &error);
        SetLastError(error);
        return error == ERROR_SUCCESS;
    }

private:
    static DWORD WINAPI Run(void* file)
    {
        const DWORD error = FlushFileBuffers(file) ? ERROR_SUCCESS : GetLastError();
        CloseHandle(file);
        return error;
    }

    HANDLE handle = nullptr;
    ZintarUtil::AutoHandle thread;
};

}  // namespace

bool MessageFileServer::PauseForClients(Timeout& budget)
{
    if (budget.Expired() || clientWaitsCancelled)
        return false;
    const DWORD error = GetLastError();
    Sleep(std::min(kClientReleasePoll, budget.Remaining()));
    SetLastError(error);
    return true;
}

MessageFileServer::MessageFileServer(ServiceSettings* settings, Mutex* settingsMutex)
    : settings(settings), settingsMutex(settingsMutex), monitor(kMonitorPeriod, kMonitorAccessTimeout)
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

void MessageFileServer::OpenFile(const std::string& newFileMapName, const std::string& newHeaderMutexName,
                                 const std::string& newReadWaitEventName,
                                 const std::string& newWriteWaitEventName)
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
    logPath = path;
    strictAccess = ClientAccessIsStrict();
    // A limit of 0 leaves no slot to write to, and one above 7,669,584 a length beyond 32 bits:
    // such a file is never made.
    if (!ZintarUtil::IsStorableCapacity(maxMessage))
        throw ExceptionBase("Failed to open log file, MaxMessage " + ZintarUtil::UIntToString(maxMessage) +
                            " is outside 1 to " + ZintarUtil::UIntToString(ZintarUtil::kMaxCapacity));

    OpenSharedObjects(newFileMapName, newHeaderMutexName, newReadWaitEventName, newWriteWaitEventName);
    // No writer is inside write access now: this is the only writer, and it has not begun. A
    // writer that died inside write access left readWaitEvent reset and its readers waiting; they
    // are let in again here. One that died between taking the header mutex and giving it back left
    // that taken too, and every reader, this writer's own first read access included, would wait
    // for it forever: it is taken with the monitor's budget and given back, which frees it (a live
    // reader holds it only for a few steps).
    {
        Timeout budget(kMonitorAccessTimeout);
        Mutex::Access header(headerMutex.get(), budget);
    }
    readWaitEvent->SetSignal();

    bool existed = OpenLogFileHandle();
    DWORD size = GetFileSize(file.Get(), nullptr);
    // A file of another program (a LogFile set by mistake), or one whose header area is gone, is
    // never written into: it is refused, or moved aside for a new log file.
    if (existed && size != 0 && !HoldsOurLockNames()) {
        if (foreign == ForeignFile::Refuse) {
            ExceptionBase failure("The file " + logPath + " is not a log file of this service; it was left untouched");
            CloseFile(InfiniteTimeout);
            throw failure;
        }
        SetFileAside();
        existed = false;
        size = 0;
    }

    // A sound file is kept (and compacted at its old length when the limit changed); an unsound
    // one of ours is repaired, for a ring of the new limit, and then judged like any other.
    bool sound = false;
    bool repaired = false;
    if (existed && size != 0) {
        SetFileView();
        sound = VerifyIntegrity();
        if (sound)
            InitializeFile();
        else
            RepairFile();
        repaired = !sound;
    }
    if (size != FileLength()) {
        CloseFileView();
        ResizeFile();
        SetFileView();
        if (sound)
            sound = VerifyIntegrity();
    }
    if (repaired) {
        sound = VerifyIntegrity();
        if (sound)
            InitializeFile();
    }
    if (!sound)
        ReformatFile();

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
void MessageFileServer::OpenSharedObjects(const std::string& newFileMapName, const std::string& newHeaderMutexName,
                                          const std::string& newReadWaitEventName,
                                          const std::string& newWriteWaitEventName)
{
    ZintarUtil::EveryoneSecurityAttributes header(ClientAccess::kHeaderLockRights, strictAccess);
    ZintarUtil::EveryoneSecurityAttributes readWait(ClientAccess::kReadWaitEventRights, strictAccess);
    ZintarUtil::EveryoneSecurityAttributes writeWait(ClientAccess::kWriteWaitEventRights, strictAccess);
    MessageFile::OpenFile(newFileMapName, newHeaderMutexName, newReadWaitEventName, newWriteWaitEventName,
                          {header.GetSecurityAttributes(), readWait.GetSecurityAttributes(),
                           writeWait.GetSecurityAttributes()});
    try {
        header.ApplyTo(headerMutex->Handle(), headerMutexName);
        readWait.ApplyTo(readWaitEvent->Handle(), readWaitEventName);
        writeWait.ApplyTo(writeWaitEvent->Handle(), writeWaitEventName);
    } catch (...) {
        CloseFile(InfiniteTimeout);
        throw;
    }
}

bool MessageFileServer::OpenLogFileHandle()
{
    const HANDLE opened = CreateFileA(logPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    // OPEN_ALWAYS reports an existing file through the last error; it is read before anything
    // else could change it.
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    file.Take(opened);
    if (file.IsInvalid()) {
        ExceptionWindows failure("Failed to open log file, CreateFile() failed");
        CloseFile(InfiniteTimeout);
        throw failure;
    }
    return existed;
}

// Read from the file itself: nothing is mapped yet, and mapping writes (the reader count).
bool MessageFileServer::HoldsOurLockNames()
{
    ZintarUtil::LockNames found{};
    OVERLAPPED at{};
    at.Offset = ZintarUtil::kLockNamesOffset;
    DWORD read = 0;
    if (!ReadFile(file.Get(), &found, sizeof found, &read, &at) || read != sizeof found)
        return false;
    return ZintarUtil::SameLockNames(found, ExpectedLockNames());
}

// As journald keeps a damaged journal: the file stays as it was, under a name that says what it
// is and when it was found, and the log begins anew.
void MessageFileServer::SetFileAside()
{
    file.Close();
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, ".damaged-%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    std::string aside = logPath + stamp;
    for (int tries = 2; !MoveFileA(logPath.c_str(), aside.c_str()); ++tries) {
        const DWORD error = GetLastError();
        if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) || tries > 100) {
            ExceptionWindows failure("Failed to move the file " + logPath + " aside, MoveFile() failed");
            CloseFile(InfiniteTimeout);
            throw failure;
        }
        aside = logPath + stamp + "-" + std::to_string(tries);
    }
    ZintarUtil::WriteLog("The file " + logPath + " is not a log file of this service (or its header was destroyed): moved it to " +
                         aside + " and began a new log file");
    OpenLogFileHandle();
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
            FlushView("Failed to force log file changes to be saved to disk, FlushViewOfFile() failed in CloseFile()");
            FlushFile("Failed to force log file changes to be saved to disk, FlushFileBuffers() failed in CloseFile()",
                      timeout);
        } catch (const ExceptionBase& e) {
            ZintarUtil::WriteLog(e.GetFullMessage("\n"));
        }
    }
    monitor.Join(timeout);
    MessageFile::CloseFile();
    file.Close();
}

bool MessageFileServer::WaitForFileFree(Timeout& timeout)
{
    // The file that was in use, which a stop may move next: clients hold that one, not a new path
    // set over the pipe. Before any file was opened, the configured one.
    std::string path = logPath;
    if (path.empty()) {
        Mutex::Access access(settingsMutex, timeout);
        path = settings->logFile;
    }
    while (!timeout.Expired()) {
        ZintarUtil::AutoHandle probe;
        probe.Take(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (probe.IsValid())
            break;  // nobody else holds the file open
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            break;
        if (error != ERROR_SHARING_VIOLATION)
            throw ExceptionWindows("Failed to wait for log file to be free, CreateFile failed()");
        Sleep(std::min(kClientReleasePoll, timeout.Remaining()));
    }
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
        FlushView("Failed to force log file changes saved to disk, FlushViewOfFile() failed in WriteToDisk()");
    }
    // Outside read access: the disk may take a while, and writers need not wait for it.
    Timeout diskBudget(kDiskFlushLimit);
    FlushFile("Failed to force log file changes saved to disk, FlushFileBuffers() failed in WriteToDisk()", diskBudget);
}

// Windows refuses a view flush for a moment (ERROR_LOCK_VIOLATION) while other I/O on the file's
// pages is under way: it is tried again a few times before it counts as a failure.
void MessageFileServer::FlushView(const char* failure)
{
    const auto length = static_cast<SIZE_T>(std::min<std::uint64_t>(FileLength(), viewLength));
    for (int tries = 1; !FlushViewOfFile(view.Data(), length); ++tries) {
        if (GetLastError() != ERROR_LOCK_VIOLATION || tries == kFlushTries)
            throw ExceptionWindows(failure);
        Sleep(kFlushRetryPause);
    }
}

// FlushViewOfFile hands the changed pages to the file system, whose cache may still hold them;
// this sends them through to the disk, so that a save survives a power loss.
void MessageFileServer::FlushFile(const char* failure, Timeout& timeout)
{
    if (!DiskFlush(file.Get()).Wait(timeout))
        throw ExceptionWindows(failure);
}

void MessageFileServer::CloseFileView()
{
    viewLength = 0;
    if (!view.Close())
        throw ExceptionWindows("Failed to close file view, UnmapViewOfFile() failed");
    if (!fileMapping.Close())
        throw ExceptionWindows("Failed to close file view, CloseHandle() failed");
}

// A client that still holds the mapping of an earlier run keeps that section alive under its
// name: CreateFileMappingA then hands out the old section (ERROR_ALREADY_EXISTS) instead of one of
// this file. It is used only when it covers the whole file and shows this file's bytes; a shorter
// one (the file grew) or one of another file (the log moved, or a new file was made) is let go,
// and the start waits, within kClientReleaseBudget, for the client to let go too, which it does as
// soon as it sees serverRunning 0. Nothing is ever written into a section that is not this file.
void MessageFileServer::SetFileView()
{
    CloseFileView();
    LARGE_INTEGER size{};
    GetFileSizeEx(file.Get(), &size);
    const auto fileLength = static_cast<std::uint64_t>(size.QuadPart);
    Timeout budget(kClientReleaseBudget);
    for (;;) {
        const bool sharedSection = MapWholeFile();
        if (!sharedSection)
            break;
        if (SectionShowsThisFile(fileLength)) {
            GiveSectionThisStartsAccess();
            break;
        }
        CloseFileView();
        if (!PauseForClients(budget))
            throw ExceptionBase("Failed to map the whole log file, a client still holds an older mapping of it");
    }
    viewLength = fileLength;
    try {
        GuardedViewAccess([this] { HeaderIn(view.Data())->readCount = 0; });
    } catch (const ExceptionBase& e) {
        CloseFileView();
        throw ExceptionBase("Failed to reset the read count in SetFileView()", &e);
    }
}

bool MessageFileServer::MapWholeFile()
{
    ZintarUtil::EveryoneSecurityAttributes attributes(ClientAccess::kMappingRights, strictAccess);
    fileMapping = ZintarUtil::FileMapping(CreateFileMappingA(file.Get(), attributes.GetSecurityAttributes(),
                                                             PAGE_READWRITE, 0, 0, fileMapName.c_str()));
    const DWORD error = GetLastError();
    const bool existed = error == ERROR_ALREADY_EXISTS;
    if (!fileMapping) {
        // CreateFileMapping's answer to a name that stands for an event, a mutex, ...
        const ExceptionBase otherKind("The object " + fileMapName +
                                      " is not a file mapping but an object of another kind: another program "
                                      "created it");
        ExceptionWindows failure("Failed to open a file mapping, CreateFileMapping() failed",
                                 error == ERROR_INVALID_HANDLE ? &otherKind : nullptr, error);
        CloseFileView();
        throw failure;
    }
    view = ZintarUtil::MappedView(MapViewOfFile(fileMapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view) {
        ExceptionWindows failure("Failed to map a file view, MapViewOfFile() failed");
        CloseFileView();
        throw failure;
    }
    return existed;
}

void MessageFileServer::GiveSectionThisStartsAccess()
{
    try {
        ZintarUtil::EveryoneSecurityAttributes attributes(ClientAccess::kMappingRights, strictAccess);
        attributes.ApplyTo(fileMapping.Get(), fileMapName);
    } catch (...) {
        CloseFileView();
        throw;
    }
}

bool MessageFileServer::SectionShowsThisFile(std::uint64_t fileLength)
{
    if (view.RegionLength() < fileLength)
        return false;
    // The header area read from the file itself must be what the section shows. Another file
    // differs there (its counters, its lock names); a reader changing its count in between only
    // costs another look.
    unsigned char onDisk[ZintarUtil::kSlotsOffset] = {};
    const auto length = static_cast<DWORD>(std::min<std::uint64_t>(fileLength, sizeof onDisk));
    OVERLAPPED atStart{};
    DWORD read = 0;
    if (!ReadFile(file.Get(), onDisk, length, &read, &atStart) || read != length)
        return false;
    bool same = false;
    try {
        GuardedViewAccess([&] { same = std::memcmp(view.Data(), onDisk, length) == 0; });
    } catch (const ExceptionBase&) {
        return false;
    }
    return same;
}

// Shrinking a file that a client still maps fails (ERROR_USER_MAPPED_FILE) until the client lets
// go, which it does as soon as it sees serverRunning 0: that is waited for, within
// kClientReleaseBudget.
void MessageFileServer::ResizeFile()
{
    LARGE_INTEGER distance{};
    distance.QuadPart = FileLength();
    Timeout budget(kClientReleaseBudget);
    for (;;) {
        if (!SetFilePointerEx(file.Get(), distance, nullptr, FILE_BEGIN))
            throw ExceptionWindows("Failed to resize file, SetFilePointerEx() failed in ResizeFile()");
        if (SetEndOfFile(file.Get()))
            return;
        if (GetLastError() != ERROR_USER_MAPPED_FILE || !PauseForClients(budget))
            throw ExceptionWindows("Failed to resize file, SetEndOfFile() failed in ResizeFile()");
    }
}

void MessageFileServer::GrabWriteAccess(Timeout& timeout)
{
    if (!IsValid())
        throw ExceptionBase("Failed to grab write access, some handles or pointers are invalid");
    writerLock.Wait(ZintarUtil::kInfinite);  // given back by ReleaseWriteAccess
    EnterWriteAccess(timeout);
}

void MessageFileServer::EnterWriteAccess(Timeout& timeout)
{
    try {
        // A writer that may not give up still waits for readers only as long as the monitor
        // would: a reader that died inside read access (or holds it that long) is then
        // overridden, so the flush behind it is delayed by one monitor budget at the most.
        Timeout bounded(kMonitorAccessTimeout);
        Timeout& budget = timeout.Remaining() == ZintarUtil::kInfinite ? bounded : timeout;
        {
            // Holding the header mutex from the wait to the reset keeps readers out of their own
            // steps meantime: a reader that has just found readWaitEvent signalled finishes its
            // entry (and counts itself) before the writer closes the door, so the writer then
            // waits for it. Given back even when the budget ran out, which frees a header mutex
            // left taken by a reader that died.
            Mutex::Access header(headerMutex.get(), budget);
            readWaitEvent->Wait(budget.Remaining());
            readWaitEvent->RemoveSignal();
        }
        try {
            forcedAccess = !writeWaitEvent->Wait(budget.Remaining());
        } catch (...) {
            readWaitEvent->SetSignal();
            throw;
        }
        if (budget.Expired())
            ZintarUtil::WriteLog("File access rights timed out, forcing access.");
    } catch (...) {
        writerLock.Release();
        throw;
    }
}

void MessageFileServer::ReleaseWriteAccess()
{
    struct GiveBackWriterLock {
        Mutex& lock;
        ~GiveBackWriterLock()
        {
            try {
                lock.Release();
            } catch (...) {
            }
        }
    } giveBack{writerLock};

    if (!IsValid())
        throw ExceptionBase("Failed to release write access, some handles or pointers are invalid");
    std::uint64_t updates = 0;
    GuardedViewAccess([&] { updates = HeaderIn(view.Data())->updateCount; });
    if (modified.exchange(false))
        updates += 1;
    GuardedViewAccess([&] {
        HeaderIn(view.Data())->updateCount = updates;
        HeaderIn(view.Data())->readCount = 0;
    });
    // After a forced access the readers that were counted are gone (or no longer counted), and
    // none of them will signal writeWaitEvent: with the count at 0 it is signalled here, so that
    // no later writer waits out its budget for readers that are gone. Only the first writer after
    // a reader's death waits.
    if (forcedAccess) {
        forcedAccess = false;
        writeWaitEvent->SetSignal();
    }
    readWaitEvent->SetSignal();
}

void MessageFileServer::CycleWriteAccess(std::uint32_t readerBudget)
{
    Mutex::Access access(objectLock, InfiniteTimeout);
    if (!IsValid())
        throw ExceptionBase("Failed to grab write access, some handles or pointers are invalid");
    writerLock.Wait(ZintarUtil::kInfinite);
    // The budget starts only now: a cycle that waited behind a long flush still gives live
    // readers their whole time, and never forces its way past a reader that has just entered.
    Timeout budget(readerBudget);
    EnterWriteAccess(budget);
    ReleaseWriteAccess();
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
