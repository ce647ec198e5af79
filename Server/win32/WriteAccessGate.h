// Write access to the shared log file, the writer's side of the locking protocol (MessageFile.h
// gives the readers' side):
//   enter: holding the header mutex (so no reader is inside its own steps), wait for
//          readWaitEvent and reset it (new readers now wait); give the mutex back and wait for
//          writeWaitEvent (the last reader has left); when the budget runs out first, the writer
//          goes ahead anyway and logs "File access rights timed out, forcing access.";
//   leave: updateCount + 1 when something changed, readCount = 0, set readWaitEvent.
//
// The two writers of this process, a flush (and the rewrites of a start) and the monitor's cycle,
// meet at writerLock: the second waits until the first has given write access back, so a cycle
// that forces access never lets readers in, or a second writer work, while a flush is writing.
// writerLock is taken without limit (a writer holds it only while it works and while it waits a
// bounded time for readers), and before the header mutex.
//
// The header mutex, the events and the view belong to MessageFile and are made anew by each open:
// the gate reaches them through references to the base's members, at every use. Safe from any
// thread; MarkModified from any thread at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "util/Timeout.h"
#include "util/UnwindingAwareRelease.h"
#include "util/win32/Event.h"
#include "util/win32/FileMapping.h"
#include "util/win32/MessageFile.h"
#include "util/win32/Mutex.h"

namespace ZintarServer {

class WriteAccessGate {
public:
    // The base's members the protocol works on.
    struct SharedObjects {
        const ZintarUtil::MessageFile& file;  // whether they are all present
        std::unique_ptr<ZintarUtil::Mutex>& headerMutex;
        std::unique_ptr<ZintarUtil::Event>& readWaitEvent;
        std::unique_ptr<ZintarUtil::Event>& writeWaitEvent;
        const ZintarUtil::MappedView& view;  // the header's updateCount and readCount
    };

    // A writer that may not give up (an infinite budget) waits for readers only `readerBound` ms:
    // a reader that died inside read access (or holds it that long) is then overridden.
    WriteAccessGate(const SharedObjects& shared, std::uint32_t readerBound);
    WriteAccessGate(const WriteAccessGate&) = delete;
    WriteAccessGate& operator=(const WriteAccessGate&) = delete;

    void GrabWriteAccess(ZintarUtil::Timeout& timeout);
    void ReleaseWriteAccess();
    // Takes write access and gives it back at once. The budget of `readerBudget` ms is for the
    // readers: it starts once this process's other writer has finished.
    void CycleWriteAccess(std::uint32_t readerBudget);

    // Something was changed, or is queued, that readers have not been told of: the next release
    // of write access (whichever writer's) counts it in updateCount.
    void MarkModified() { modified = true; }

    // One write access: the grab at construction, the release at destruction.
    class Scope {
    public:
        Scope(WriteAccessGate& gate, ZintarUtil::Timeout& timeout);
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        ~Scope() noexcept(false);

    private:
        WriteAccessGate& gate;
        ZintarUtil::UnwindingAwareRelease release;
    };

private:
    // The readers' side of taking write access, for a caller that holds writerLock; gives
    // writerLock back when it throws.
    void EnterWriteAccess(ZintarUtil::Timeout& timeout);

    SharedObjects shared;
    std::uint32_t readerBound;
    std::atomic<bool> modified{false};
    ZintarUtil::Mutex writerLock;
    // The current write access was forced past readers that did not leave in time; guarded by
    // writerLock.
    bool forcedAccess = false;
};

}  // namespace ZintarServer
