// The log file on disk, as the writer holds it: opened (created when missing) for reading and
// writing and shared with the clients that map it; judged from its own bytes before anything is
// mapped; moved aside when it is not one of this service's log files; sized for the ring; and
// sent through to the disk within a bounded wait.
//
// Every failure throws the text the service's log shows (ExceptionWindows with the system's
// reason); what else to give up is the caller's choice (MessageFileServer closes the whole file).
// Used by one thread at a time: MessageFileServer keeps its open, save and close apart.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "Server/win32/ClientReleaseWait.h"
#include "util/LogFileFormat.h"
#include "util/Timeout.h"
#include "util/win32/AutoHandle.h"

namespace ZintarServer {

class LogFileHandle {
public:
    // The file the next Open takes, and the one a stop waits to be free: kept after a close, and
    // after a failed open.
    void SetPath(const std::string& newPath) { path = newPath; }
    const std::string& Path() const { return path; }

    // Opens Path(), creating it when missing; true when it existed.
    bool Open();
    void Close() { file.Close(); }
    HANDLE Get() const { return file.Get(); }

    // The length as GetFileSize gives it (a log file never passes 32 bits), and in full.
    DWORD Size() const;
    std::uint64_t Length() const;

    // Whether the file holds, after its header, the lock names `expected`.
    bool HoldsLockNames(const ZintarUtil::LockNames& expected) const;
    // The file's first `length` bytes, read from the file itself; false when fewer came.
    bool ReadStart(void* buffer, DWORD length) const;

    // Moves the file aside to "<path>.damaged-<time>", says so in the diagnostic log, and opens a
    // new one at Path().
    void SetFileAside();

    // Sets the length to `length`. Shrinking a file that a client still maps fails
    // (ERROR_USER_MAPPED_FILE) until the client lets go: that is waited for through `clients`.
    void ResizeFile(std::uint32_t length, const ClientReleaseWait& clients);

    // Sends the file's pages through the file system's cache to the disk, waiting at most
    // `timeout`; throws ExceptionWindows(`failure`) when the disk failed or took longer. A slow
    // disk finishes on its own after the wait ends.
    void FlushToDisk(const char* failure, ZintarUtil::Timeout& timeout) const;

    // Waits, within `timeout`, until no process holds the file at `path` open (or it is gone).
    static void WaitUntilFree(const std::string& path, ZintarUtil::Timeout& timeout);

private:
    ZintarUtil::AutoHandle file;
    std::string path;
};

}  // namespace ZintarServer
