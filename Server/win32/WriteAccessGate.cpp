#include "Server/win32/WriteAccessGate.h"

#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/GuardedViewAccess.h"

namespace ZintarServer {

using ZintarUtil::FileHeader;
using ZintarUtil::GuardedViewAccess;
using ZintarUtil::Mutex;
using ZintarUtil::Timeout;
using ZintarUtil::Exceptions::ExceptionBase;

WriteAccessGate::WriteAccessGate(const SharedObjects& shared, std::uint32_t readerBound)
    : shared(shared), readerBound(readerBound)
{
}

void WriteAccessGate::GrabWriteAccess(Timeout& timeout)
{
    if (!shared.file.IsValid())
        throw ExceptionBase("Failed to grab write access, some handles or pointers are invalid");
    writerLock.Wait(ZintarUtil::kInfinite);  // given back by ReleaseWriteAccess
    EnterWriteAccess(timeout);
}

void WriteAccessGate::EnterWriteAccess(Timeout& timeout)
{
    try {
        // The flush behind a dead reader is delayed by one bound at the most.
        Timeout bounded(readerBound);
        Timeout& budget = timeout.Remaining() == ZintarUtil::kInfinite ? bounded : timeout;
        {
            // Holding the header mutex from the wait to the reset keeps readers out of their own
            // steps meantime: a reader that has just found readWaitEvent signalled finishes its
            // entry (and counts itself) before the writer closes the door, so the writer then
            // waits for it. Given back even when the budget ran out, which frees a header mutex
            // left taken by a reader that died.
            Mutex::Access header(shared.headerMutex.get(), budget);
            shared.readWaitEvent->Wait(budget.Remaining());
            shared.readWaitEvent->RemoveSignal();
        }
        try {
            forcedAccess = !shared.writeWaitEvent->Wait(budget.Remaining());
        } catch (...) {
            shared.readWaitEvent->SetSignal();
            throw;
        }
        if (budget.Expired())
            ZintarUtil::WriteLog("File access rights timed out, forcing access.");
    } catch (...) {
        writerLock.Release();
        throw;
    }
}

void WriteAccessGate::ReleaseWriteAccess()
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

    if (!shared.file.IsValid())
        throw ExceptionBase("Failed to release write access, some handles or pointers are invalid");
    auto* header = reinterpret_cast<FileHeader*>(shared.view.Data());
    std::uint64_t updates = 0;
    GuardedViewAccess([&] { updates = header->updateCount; });
    if (modified.exchange(false))
        updates += 1;
    GuardedViewAccess([&] {
        header->updateCount = updates;
        header->readCount = 0;
    });
    // After a forced access the readers that were counted are gone (or no longer counted), and
    // none of them will signal writeWaitEvent: with the count at 0 it is signalled here, so that
    // no later writer waits out its budget for readers that are gone. Only the first writer after
    // a reader's death waits.
    if (forcedAccess) {
        forcedAccess = false;
        shared.writeWaitEvent->SetSignal();
    }
    shared.readWaitEvent->SetSignal();
}

void WriteAccessGate::CycleWriteAccess(std::uint32_t readerBudget)
{
    if (!shared.file.IsValid())
        throw ExceptionBase("Failed to grab write access, some handles or pointers are invalid");
    writerLock.Wait(ZintarUtil::kInfinite);
    // The budget starts only now: a cycle that waited behind a long flush still gives live
    // readers their whole time, and never forces its way past a reader that has just entered.
    Timeout budget(readerBudget);
    EnterWriteAccess(budget);
    ReleaseWriteAccess();
}

WriteAccessGate::Scope::Scope(WriteAccessGate& gate, Timeout& timeout) : gate(gate)
{
    gate.GrabWriteAccess(timeout);
}

WriteAccessGate::Scope::~Scope() noexcept(false)
{
    release.Run([this] { gate.ReleaseWriteAccess(); });
}

}  // namespace ZintarServer
