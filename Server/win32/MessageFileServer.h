// The writer of the shared log file: opens, sizes, maps, verifies, compacts or reformats it,
// keeps the time-ordered write queue and writes it into the ring in batches.
//
// Write access, the writer's side of the locking protocol:
//   enter: holding the header mutex (so no reader is inside its own steps), wait for
//          readWaitEvent and reset it (new readers now wait); give the mutex back and wait for
//          writeWaitEvent (the last reader has left); when the budget runs out first, the writer
//          goes ahead anyway and logs "File access rights timed out, forcing access.";
//   leave: updateCount + 1 when something changed, readCount = 0, set readWaitEvent.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "AutoHandle.h"
#include "MessageFile.h"
#include "MessageFileMonitor.h"
#include "Mutex.h"
#include "ServiceSettings.h"
#include "Timeout.h"
#include "WriteQueue.h"
#include "UnwindingAwareRelease.h"

namespace ZintarServer {

class MessageFileServer : public ZintarUtil::MessageFile {
public:
    // The monitor cycles write access every 5000 ms with a budget of 4000 ms.
    static constexpr std::uint32_t kMonitorPeriod = 5000;
    static constexpr std::uint32_t kMonitorAccessTimeout = 4000;

    // How long a start waits for clients to let go of an older mapping or of a file it must
    // shrink, and how often it looks.
    static constexpr std::uint32_t kClientReleaseBudget = 15000;
    static constexpr std::uint32_t kClientReleasePoll = 100;
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
    void CancelClientWaits() { clientWaitsCancelled = true; }

    void SetFileView();
    void CloseFileView();
    void ResizeFile();

    bool VerifyIntegrity();
    void InitializeFile();
    void ReformatFile();
    // Rebuilds an unsound file of ours from the records in it that are whole, oldest first from
    // slot 0, for a ring of maxMessage slots (the file is resized afterwards); writes one line
    // into the diagnostic log.
    void RepairFile();

    // Queues one message if the admission test keeps it.
    void AddMessage(const ZintarUtil::LogMessage& message);
    // Writes the pending entries into the ring and publishes them.
    void FlushWrites();
    // Whether messages are queued that no flush has written yet (one failed, or none ran).
    bool HasUnwritten() const { return queue.PendingCount() > 0; }
    // Loads the file's records into `target`, newest first: their keys, sequences and slots.
    void LoadToList(WriteQueue& target);

    void GrabWriteAccess(ZintarUtil::Timeout& timeout);
    void ReleaseWriteAccess();
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

    const WriteQueue& Queue() const { return queue; }

private:
    static constexpr int kFlushTries = 5;
    static constexpr DWORD kFlushRetryPause = 20;  // ms

    // Saves the view's changes into the file, and the file's onto the disk; each throws
    // ExceptionWindows with `failure`. FlushFile waits at most `timeout` for the disk.
    void FlushView(const char* failure);
    void FlushFile(const char* failure, ZintarUtil::Timeout& timeout);
    // Between two tries of a start that a client still holding the file defeated: false once
    // the budget is spent or a stop was asked for, else a short pause. Keeps the thread's last
    // error for the failure to report.
    bool PauseForClients(ZintarUtil::Timeout& budget);

    class ViewSlots;

    std::uint32_t FileLength();
    std::uint32_t MaxMessage();
    bool ClientAccessIsStrict();
    // The header mutex and both events under the names, each with the DACL this start grants.
    void OpenSharedObjects(const std::string& fileMapName, const std::string& headerMutexName,
                           const std::string& readWaitEventName, const std::string& writeWaitEventName);
    // The three names as the file stores them (cut to 63 characters).
    ZintarUtil::LockNames ExpectedLockNames() const;
    // Opens logPath (creating it when missing) into `file`; true when it existed.
    bool OpenLogFileHandle();
    // Whether the file holds, after its header, the lock names this open was given (read from the
    // file, before anything is mapped or written).
    bool HoldsOurLockNames();
    // Moves the open file aside to "<logPath>.damaged-<time>" and opens a new one at logPath.
    void SetFileAside();
    // Maps the file under its name; true when the name already stood for a section (a client's).
    // A name that stands for an object of another kind is refused with a text that names it.
    bool MapWholeFile();
    // The section a client held across the restart, now in use again, gets this start's DACL.
    void GiveSectionThisStartsAccess();
    // The section mapped at `view` covers `fileLength` bytes and holds this file's header.
    bool SectionShowsThisFile(std::uint64_t fileLength);
    // The readers' side of taking write access, for a caller that holds writerLock; gives
    // writerLock back when it throws.
    void EnterWriteAccess(ZintarUtil::Timeout& timeout);
    // One record into or out of slot `slot` of the view, inside the guarded view access; a slot
    // beyond the mapping throws.
    void WriteRecord(std::int32_t slot, const ZintarUtil::MessageRecord& record);
    void ReadRecord(std::int32_t slot, ZintarUtil::MessageRecord& record);

    WriteQueue queue;  // pendingList, pendingCount and displacedCount
    // The slots of the ring in the open file, set when it is initialized: the queue is kept no
    // longer than that, even while a raised maxMessage waits for the restart that grows the file.
    std::uint32_t ringCapacity = 0;
    ZintarUtil::AutoHandle file;
    std::string logPath;
    // StrictClientAccess as this open found it: the DACL of every shared object it makes or adopts.
    bool strictAccess = false;
    ServiceSettings* settings;
    ZintarUtil::Mutex* settingsMutex;
    // Set by the intake's AddMessage and consumed by whichever writer releases access next, the
    // monitor's cycle included, so it is shared between threads.
    std::atomic<bool> modified{false};
    // The two writers of this process, FlushWrites and the monitor's cycle, meet here: the
    // second waits until the first has given write access back, so a cycle that forces access
    // never lets readers in, or a second writer work, while a flush is writing. Taken without
    // limit: a writer holds it only while it works and while it waits a bounded time for readers.
    ZintarUtil::Mutex writerLock;
    // The current write access was forced past readers that did not leave in time; guarded by
    // writerLock.
    bool forcedAccess = false;
    // Keeps a save (WriteToDisk on the "File Write" timer) and CloseFile apart. Taken without
    // limit: a save holds it for its bounded read access and its bounded wait for the disk.
    ZintarUtil::Mutex saveLock;
    std::atomic<bool> clientWaitsCancelled{false};
    ZintarUtil::UnwindingAwareRelease release;  // of the file, at destruction
    // Last, so that it is destroyed first: its thread uses the members above until it is joined.
    MessageFileMonitor monitor;
};

}  // namespace ZintarServer
