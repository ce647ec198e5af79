#include "Server/win32/LogFileHandle.h"

#include <algorithm>

#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/TimeStamps.h"
#include "util/win32/SystemTimes.h"
#include "util/win32/UniqueResource.h"

namespace ZintarServer {

using ZintarUtil::Timeout;
using ZintarUtil::Exceptions::ExceptionWindows;

namespace {

// FlushFileBuffers on a thread of its own, through a handle of its own, so that the caller can stop
// waiting for a slow disk while the flush goes on and ends by itself.
class DiskFlush {
public:
    explicit DiskFlush(HANDLE file)
    {
        ZintarUtil::UniqueFile copy;
        if (!DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), copy.Put(), 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            return;
        // The thread owns the copy from here on, and closes it when the disk is done.
        thread.Reset(CreateThread(nullptr, 0, &DiskFlush::Run, copy.Get(), 0, nullptr));
        if (thread)
            copy.Release();
    }

    // True when the disk took everything within `timeout`; false with the thread's last error
    // set when it failed or when the time ran out (WAIT_TIMEOUT).
    bool Wait(Timeout& timeout)
    {
        if (!thread)
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
        const ZintarUtil::UniqueFile owned(file);
        return FlushFileBuffers(owned.Get()) ? ERROR_SUCCESS : GetLastError();
    }

    ZintarUtil::UniqueHandle thread;
};

}  // namespace

bool LogFileHandle::Open()
{
    const HANDLE opened = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    // OPEN_ALWAYS reports an existing file through the last error; it is read before anything
    // else could change it.
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    file.Take(opened);
    if (file.IsInvalid())
        throw ExceptionWindows("Failed to open log file, CreateFile() failed");
    return existed;
}

DWORD LogFileHandle::Size() const
{
    return GetFileSize(file.Get(), nullptr);
}

std::uint64_t LogFileHandle::Length() const
{
    LARGE_INTEGER size{};
    GetFileSizeEx(file.Get(), &size);
    return static_cast<std::uint64_t>(size.QuadPart);
}

// Read from the file itself: nothing is mapped yet, and mapping writes (the reader count).
bool LogFileHandle::HoldsLockNames(const ZintarUtil::LockNames& expected) const
{
    ZintarUtil::LockNames found{};
    OVERLAPPED at{};
    at.Offset = ZintarUtil::kLockNamesOffset;
    DWORD read = 0;
    if (!ReadFile(file.Get(), &found, sizeof found, &read, &at) || read != sizeof found)
        return false;
    return ZintarUtil::SameLockNames(found, expected);
}

bool LogFileHandle::ReadStart(void* buffer, DWORD length) const
{
    OVERLAPPED atStart{};
    DWORD read = 0;
    return ReadFile(file.Get(), buffer, length, &read, &atStart) && read == length;
}

// As journald keeps a damaged journal: the file stays as it was, under a name that says what it
// is and when it was found, and the log begins anew.
void LogFileHandle::SetFileAside()
{
    file.Close();
    const std::string stamp = ".damaged-" + ZintarUtil::CompactTimeStampText(ZintarUtil::LocalTimeNow());
    std::string aside = path + stamp;
    for (int tries = 2; !MoveFileA(path.c_str(), aside.c_str()); ++tries) {
        const DWORD error = GetLastError();
        if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) || tries > 100)
            throw ExceptionWindows("Failed to move the file " + path + " aside, MoveFile() failed");
        aside = path + stamp + "-" + std::to_string(tries);
    }
    ZintarUtil::WriteLog("The file " + path +
                         " is not a log file of this service (or its header was destroyed): moved it to " + aside +
                         " and began a new log file");
    Open();
}

void LogFileHandle::ResizeFile(std::uint32_t length, const ClientReleaseWait& clients)
{
    LARGE_INTEGER distance{};
    distance.QuadPart = length;
    Timeout budget(ClientReleaseWait::kBudget);
    for (;;) {
        if (!SetFilePointerEx(file.Get(), distance, nullptr, FILE_BEGIN))
            throw ExceptionWindows("Failed to resize file, SetFilePointerEx() failed in ResizeFile()");
        if (SetEndOfFile(file.Get()))
            return;
        if (GetLastError() != ERROR_USER_MAPPED_FILE || !clients.Pause(budget))
            throw ExceptionWindows("Failed to resize file, SetEndOfFile() failed in ResizeFile()");
    }
}

// FlushViewOfFile hands the changed pages to the file system, whose cache may still hold them;
// this sends them through to the disk, so that a save survives a power loss.
void LogFileHandle::FlushToDisk(const char* failure, Timeout& timeout) const
{
    if (!DiskFlush(file.Get()).Wait(timeout))
        throw ExceptionWindows(failure);
}

void LogFileHandle::WaitUntilFree(const std::string& path, Timeout& timeout)
{
    while (!timeout.Expired()) {
        ZintarUtil::AutoHandle probe;
        probe.Take(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (probe.IsValid())
            return;  // nobody else holds the file open
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return;
        if (error != ERROR_SHARING_VIOLATION)
            throw ExceptionWindows("Failed to wait for log file to be free, CreateFile failed()");
        Sleep(std::min(ClientReleaseWait::kPoll, timeout.Remaining()));
    }
}

}  // namespace ZintarServer
