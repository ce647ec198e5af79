// The writer of the shared log file: takes it into use (opens, judges, sizes, maps, keeps,
// compacts, repairs or reformats it), keeps the time-ordered write queue and writes it into the
// ring in batches, saves it, and takes it out of use. The work is done by its parts, each with its
// contract in its header:
//   LogFileHandle       the file on disk: open, judge a foreign file, set aside, resize, flush;
//   LogFileView         the section and view of the base, made for this file and this start's DACL;
//   LogFileStartup      the start-up sequence: keep, compact, repair, reformat;
//   WriteAccessGate     write access, the writer's side of the locking protocol;
//   ViewSlots           a slot of the ring read or written inside the guarded view;
//   RingWriter          the write queue and its batches;
//   MessageFileMonitor  the watchdog that cycles write access.
//
// The writer's side of the locking protocol (MessageFile.h has the readers') is set out in
// WriteAccessGate.h, where it is carried out.
//
// The writer's locks, in the order they may be nested: saveLock (a save or a close), the base's
// objectLock (a monitor cycle), writerLock (WriteAccessGate), the shared header mutex, and last
// settingsMutex, inside which none of the others is taken (ServerService.h gives the service's
// order around them).
#pragma once

#include <cstdint>
#include <string>

#include "Server/ServiceSettings.h"
#include "Server/WriteQueue.h"
#include "Server/win32/ClientReleaseWait.h"
#include "Server/win32/LogFileHandle.h"
#include "Server/win32/LogFileStartup.h"
#include "Server/win32/LogFileView.h"
#include "Server/win32/MessageFileMonitor.h"
#include "Server/win32/RingWriter.h"
#include "Server/win32/WriteAccessGate.h"
#include "util/Timeout.h"
#include "util/UnwindingAwareRelease.h"
#include "util/win32/MessageFile.h"
#include "util/win32/Mutex.h"

namespace ZintarServer {

class MessageFileServer : public ZintarUtil::MessageFile {
public:
    // The monitor cycles write access every 5000 ms with a budget of 4000 ms.
    static constexpr std::uint32_t kMonitorPeriod = 5000;
    static constexpr std::uint32_t kMonitorAccessTimeout = 4000;

    // How long a save waits for read access.
    static constexpr std::uint32_t kSaveReadWaitLimit = 15000;
    // How long a timed save waits for the disk to take the file's pages; a close waits what is
    // left of the stop's budget. A disk slower than that finishes the save on its own after the
    // wait ends.
    static constexpr std::uint32_t kDiskFlushLimit = 10000;

    // What an open does with a file that is not one of this service's log files: a file of
    // another program, or one whose header area was destroyed (its lock names are not the ones
    // this open was given). Nothing is ever written into it.
    enum class ForeignFile {
        Refuse,   // the open fails and the file stays as it is
        SetAside  // it is renamed to "<path>.damaged-<time>" and a new log file takes its place
    };

    MessageFileServer(ServiceSettings* settings, ZintarUtil::Mutex* settingsMutex);
    ~MessageFileServer() noexcept(false);

    // Opens (creating it when missing) the file at the `logFile` setting, maps it under
    // `fileMapName`, keeps, compacts or repairs what it holds, loads the queue and starts the
    // monitor. A file that is not a log file of this service is refused.
    void OpenFile(const std::string& fileMapName, const std::string& headerMutexName,
                  const std::string& readWaitEventName, const std::string& writeWaitEventName);
    // The same for the file at `path` instead of the `logFile` setting.
    void OpenFileAt(const std::string& path, const std::string& fileMapName, const std::string& headerMutexName,
                    const std::string& readWaitEventName, const std::string& writeWaitEventName,
                    ForeignFile foreign = ForeignFile::Refuse);
    // Marks the file closed, forces it to disk, stops the monitor and lets everything go.
    void CloseFile(ZintarUtil::Timeout& timeout);
    // Waits, within the budget, until no other process holds the file that was in use.
    bool WaitForFileFree(ZintarUtil::Timeout& timeout);
    // Forces the mapped file's changes to disk; does nothing once the file is closed. Never runs
    // beside CloseFile.
    void WriteToDisk();
    // A stop is under way: a start's waits for clients end at once, so that the stop (a shutdown
    // above all) never waits behind them. For the rest of this object's life.
    void CancelClientWaits() { clients.Cancel(); }

    // Queues one message if the admission test keeps it.
    void AddMessage(const ZintarUtil::LogMessage& message) { ring.AddMessage(message); }
    // Writes the pending entries into the ring and publishes them.
    void FlushWrites() { ring.FlushWrites(); }
    // Whether messages are queued that no flush has written yet (one failed, or none ran).
    bool HasUnwritten() const { return ring.HasUnwritten(); }
    bool HalfRingPending() const { return ring.HalfRingPending(); }
    const WriteQueue& Queue() const { return ring.Queue(); }

    void GrabWriteAccess(ZintarUtil::Timeout& timeout) { gate.GrabWriteAccess(timeout); }
    void ReleaseWriteAccess() { gate.ReleaseWriteAccess(); }
    // Takes write access and gives it back at once. The budget of `readerBudget` ms is for the
    // readers: it starts once this process's other writer (a flush) has finished.
    void CycleWriteAccess(std::uint32_t readerBudget);

    class WriteAccess {
    public:
        WriteAccess(MessageFileServer* file, ZintarUtil::Timeout& timeout);
        WriteAccess(const WriteAccess&) = delete;
        WriteAccess& operator=(const WriteAccess&) = delete;
        ~WriteAccess() noexcept(false);

    private:
        MessageFileServer* file;
        ZintarUtil::UnwindingAwareRelease release;
    };

private:
    std::uint32_t FileLength();
    std::uint32_t MaxMessage();
    bool ClientAccessIsStrict();
    // The header mutex and both events under the names, each with the DACL this start grants.
    void OpenSharedObjects(const std::string& fileMapName, const std::string& headerMutexName,
                           const std::string& readWaitEventName, const std::string& writeWaitEventName);
    // Frees what a writer that died inside write access left behind, for this open's readers.
    void RecoverFromDeadWriter();
    // Opens the log file and deals with one that is not ours; true when a file of ours existed,
    // with `size` its length.
    bool OpenLogFile(ForeignFile foreign, DWORD& size);
    // The three names as the file stores them (cut to 63 characters).
    ZintarUtil::LockNames ExpectedLockNames() const;
    // Runs `step`; when it throws, everything is given up before the failure goes on.
    template <class Step>
    auto ClosingOnFailure(Step&& step);

    ServiceSettings* settings;
    ZintarUtil::Mutex* settingsMutex;
    ClientReleaseWait clients;
    LogFileHandle diskFile;
    LogFileView fileView;
    WriteAccessGate gate;
    RingWriter ring;
    LogFileStartup startup;
    // StrictClientAccess as this open found it: the DACL of every shared object it makes or adopts.
    bool strictAccess = false;
    // Keeps a save (WriteToDisk on the "File Write" timer) and CloseFile apart. Taken without
    // limit: a save holds it for its bounded read access and its bounded wait for the disk.
    ZintarUtil::Mutex saveLock;
    ZintarUtil::UnwindingAwareRelease release;  // of the file, at destruction
    // Last, so that it is destroyed first: its thread uses the members above until it is joined.
    MessageFileMonitor monitor;
};

}  // namespace ZintarServer
