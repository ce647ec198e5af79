// MessageFileServer: taking the log file into use and out of use, its mapping, and write access.
#include "MessageFileServer.h"

#include <exception>

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

constexpr std::uint32_t kEventAccess = 0x1F0003;    // EVENT_ALL_ACCESS
constexpr std::uint32_t kMappingAccess = 0xF001F;   // SECTION_ALL_ACCESS

FileHeader* HeaderIn(unsigned char* view)
{
    return reinterpret_cast<FileHeader*>(view);
}

}  // namespace

MessageFileServer::MessageFileServer(ServiceSettings* settings, Mutex* settingsMutex)
    : settings(settings), settingsMutex(settingsMutex), monitor(kMonitorPeriod, kMonitorAccessTimeout)
{
}

MessageFileServer::~MessageFileServer() noexcept(false)
{
    const int exceptionsAtStart = std::uncaught_exceptions();
    try {
        CloseFile(InfiniteTimeout);
    } catch (...) {
        if (std::uncaught_exceptions() == exceptionsAtStart)
            throw;
    }
}

std::uint32_t MessageFileServer::FileLength()
{
    Mutex::Access access(settingsMutex, InfiniteTimeout);
    return ZintarUtil::FileLengthFor(settings->maxMessage);
}

void MessageFileServer::OpenFile(const std::string& newFileMapName, const std::string& newHeaderMutexName,
                                 const std::string& newReadWaitEventName,
                                 const std::string& newWriteWaitEventName)
{
    std::uint32_t maxMessage = 0;
    {
        Mutex::Access access(settingsMutex, InfiniteTimeout);
        logPath = settings->logFile;
        maxMessage = settings->maxMessage;
    }
    CloseFile(InfiniteTimeout);
    // A limit of 0 leaves no slot to write to, and one above 7,669,584 a length beyond 32 bits:
    // such a file is never made.
    if (!ZintarUtil::IsStorableCapacity(maxMessage))
        throw ExceptionBase("Failed to open log file, MaxMessage " + ZintarUtil::UIntToString(maxMessage) +
                            " is outside 1 to " + ZintarUtil::UIntToString(ZintarUtil::kMaxCapacity));

    {
        ZintarUtil::EveryoneSecurityAttributes attributes(kEventAccess);
        MessageFile::OpenFile(newFileMapName, newHeaderMutexName, newReadWaitEventName,
                              newWriteWaitEventName, attributes.GetSecurityAttributes());
    }
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
    const DWORD size = GetFileSize(file.Get(), nullptr);

    bool sound = false;
    if (existed && size != 0) {
        SetFileView();
        sound = VerifyIntegrity();
        if (sound)
            InitializeFile();
    }
    if (size != FileLength()) {
        CloseFileView();
        ResizeFile();
        SetFileView();
        if (sound)
            sound = VerifyIntegrity();
    }
    if (!sound)
        ReformatFile();

    try {
        GuardedViewAccess([this] { HeaderIn(view)->serverRunning = 1; });
    } catch (const ExceptionBase& e) {
        CloseFile(InfiniteTimeout);
        throw ExceptionBase("Failed to set server running flag to true in log file during OpenFile()", &e);
    }
    monitor.SetFile(this);
    monitor.Start();
}

void MessageFileServer::CloseFile(Timeout& timeout)
{
    monitor.Stop();
    monitor.SetFile(nullptr);
    if (IsValid()) {
        WriteAccess access(this, timeout);
        try {
            GuardedViewAccess([this] { HeaderIn(view)->serverRunning = 0; });
        } catch (const ExceptionBase& e) {
            throw ExceptionBase("Failed to set server running flag to false in log file during CloseFile()", &e);
        }
        const std::uint64_t length = std::min<std::uint64_t>(FileLength(), viewLength);
        if (!FlushViewOfFile(view, static_cast<SIZE_T>(length)))
            throw ExceptionWindows("Failed to force log file changes to be saved to disk, FlushViewOfFile() failed in CloseFile()");
    }
    monitor.Join(timeout);
    MessageFile::CloseFile();
    file.Close();
}

bool MessageFileServer::WaitForFileFree(Timeout& timeout)
{
    while (!timeout.Expired()) {
        Mutex::Access access(settingsMutex, timeout);
        ZintarUtil::AutoHandle probe;
        probe.Take(CreateFileA(settings->logFile.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr));
        if (probe.IsValid())
            break;  // nobody else holds the file open
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            break;
        if (error != ERROR_SHARING_VIOLATION)
            throw ExceptionWindows("Failed to wait for log file to be free, CreateFile failed()");
    }
    monitor.Join(timeout);
    return true;
}

void MessageFileServer::WriteToDisk()
{
    ReadAccess access(this);
    const std::uint64_t length = std::min<std::uint64_t>(FileLength(), viewLength);
    if (!FlushViewOfFile(view, static_cast<SIZE_T>(length)))
        throw ExceptionWindows("Failed to force log file changes saved to disk, FlushViewOfFile() failed in WriteToDisk()");
}

void MessageFileServer::CloseFileView()
{
    if (view != nullptr) {
        if (UnmapViewOfFile(view) != TRUE)
            throw ExceptionWindows("Failed to close file view, UnmapViewOfFile() failed");
        view = nullptr;
        viewLength = 0;
    }
    if (fileMapping != nullptr) {
        if (!CloseHandle(fileMapping))
            throw ExceptionWindows("Failed to close file view, CloseHandle() failed");
        fileMapping = nullptr;
    }
}

void MessageFileServer::SetFileView()
{
    CloseFileView();
    ZintarUtil::EveryoneSecurityAttributes attributes(kMappingAccess);
    fileMapping = CreateFileMappingA(file.Get(), attributes.GetSecurityAttributes(), PAGE_READWRITE, 0, 0,
                                     fileMapName.c_str());
    if (fileMapping == nullptr) {
        ExceptionWindows failure("Failed to open a file mapping, CreateFileMapping() failed");
        CloseFileView();
        throw failure;
    }
    view = static_cast<unsigned char*>(MapViewOfFile(fileMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (view == nullptr) {
        ExceptionWindows failure("Failed to map a file view, MapViewOfFile() failed");
        CloseFileView();
        throw failure;
    }
    // A section of the same name that a client still holds is reused as it is, at its old size:
    // the length is taken from the view, and a view shorter than the file is refused rather than
    // written past its end.
    LARGE_INTEGER size{};
    GetFileSizeEx(file.Get(), &size);
    MEMORY_BASIC_INFORMATION region{};
    VirtualQuery(view, &region, sizeof region);
    if (region.RegionSize < static_cast<std::uint64_t>(size.QuadPart)) {
        CloseFileView();
        throw ExceptionBase("Failed to map the whole log file, a client still holds an older, shorter mapping of it");
    }
    viewLength = static_cast<std::uint64_t>(size.QuadPart);
    try {
        GuardedViewAccess([this] { HeaderIn(view)->readCount = 0; });
    } catch (const ExceptionBase& e) {
        CloseFileView();
        throw ExceptionBase("Failed to reset the read count in SetFileView()", &e);
    }
}

void MessageFileServer::ResizeFile()
{
    LARGE_INTEGER distance{};
    distance.QuadPart = FileLength();
    if (!SetFilePointerEx(file.Get(), distance, nullptr, FILE_BEGIN))
        throw ExceptionWindows("Failed to resize file, SetFilePointerEx() failed in ResizeFile()");
    if (!SetEndOfFile(file.Get()))
        throw ExceptionWindows("Failed to resize file, SetEndOfFile() failed in ResizeFile()");
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
    GuardedViewAccess([&] { updates = HeaderIn(view)->updateCount; });
    if (modified.exchange(false))
        updates += 1;
    GuardedViewAccess([&] {
        HeaderIn(view)->updateCount = updates;
        HeaderIn(view)->readCount = 0;
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

MessageFileServer::WriteAccess::WriteAccess(MessageFileServer* file, Timeout& timeout)
    : file(file), exceptionsAtStart(std::uncaught_exceptions())
{
    if (file == nullptr)
        throw ExceptionBase("MessageFileServer WriteAccess object created with null pointer");
    file->GrabWriteAccess(timeout);
}

MessageFileServer::WriteAccess::~WriteAccess() noexcept(false)
{
    try {
        file->ReleaseWriteAccess();
    } catch (...) {
        if (std::uncaught_exceptions() == exceptionsAtStart)
            throw;
    }
}

}  // namespace ZintarServer
