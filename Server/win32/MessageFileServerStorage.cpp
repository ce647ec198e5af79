// MessageFileServer: judging, initializing, repairing and reformatting the stored file, and the
// write queue.
#include <algorithm>
#include <cstring>
#include <string>

#include "Admission.h"
#include "DiagnosticLog.h"
#include "Exceptions.h"
#include "GuardedViewAccess.h"
#include "LogFileSalvage.h"
#include "LogFileSoundness.h"
#include "MessageFileServer.h"

namespace ZintarServer {

using ZintarUtil::FileHeader;
using ZintarUtil::GuardedViewAccess;
using ZintarUtil::InfiniteTimeout;
using ZintarUtil::LockNames;
using ZintarUtil::LogMessage;
using ZintarUtil::MessageRecord;
using ZintarUtil::Mutex;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

FileHeader* HeaderIn(unsigned char* view)
{
    return reinterpret_cast<FileHeader*>(view);
}

}  // namespace

// The ring in the mapped view, as the write queue sees it: every copy inside the guarded view
// access and never past the mapping; a copy that fails throws `failure` with the cause inside.
class MessageFileServer::ViewSlots final : public ZintarServer::RingSlots {
public:
    ViewSlots(MessageFileServer& file, const char* failure) : file(file), failure(failure) {}

    void Read(std::int32_t slot, MessageRecord& record) override
    {
        Report([&] { file.ReadRecord(slot, record); });
    }
    void Write(std::int32_t slot, const MessageRecord& record) override
    {
        Report([&] { file.WriteRecord(slot, record); });
    }

private:
    template <class Copy>
    void Report(Copy&& copy)
    {
        try {
            copy();
        } catch (const ExceptionBase& e) {
            throw ExceptionBase(failure, &e);
        }
    }

    MessageFileServer& file;
    const char* failure;
};

namespace {

void CheckSlotInView(std::int32_t slot, std::uint64_t viewLength)
{
    if (slot < 0 || ZintarUtil::SlotOffset(slot) + ZintarUtil::kRecordSize > viewLength)
        throw ExceptionBase("The log file's header describes slots beyond the mapped file");
}

}  // namespace

void MessageFileServer::WriteRecord(std::int32_t slot, const MessageRecord& record)
{
    CheckSlotInView(slot, viewLength);
    GuardedViewAccess([&] { std::memcpy(view.Data() + ZintarUtil::SlotOffset(slot), &record, sizeof record); });
}

void MessageFileServer::ReadRecord(std::int32_t slot, MessageRecord& record)
{
    CheckSlotInView(slot, viewLength);
    GuardedViewAccess([&] { std::memcpy(&record, view.Data() + ZintarUtil::SlotOffset(slot), sizeof record); });
}

LockNames MessageFileServer::ExpectedLockNames() const
{
    return ZintarUtil::LockNamesOf(headerMutexName.c_str(), readWaitEventName.c_str(), writeWaitEventName.c_str());
}

bool MessageFileServer::VerifyIntegrity()
{
    if (!IsValid())
        throw ExceptionBase("Failed to verify log file integrity, some handles or pointers are invalid");
    if (viewLength < ZintarUtil::kSlotsOffset)
        return false;  // not even the header area: a stub of a file
    FileHeader header;
    try {
        ReadAccess access(this);
        header = CopyHeader();
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to get a copy of the header in VerifyIntegrity()", &e);
    }
    // The slots must lie within the file as it is mapped now: a file cut short, or a header that
    // claims more slots than the file holds, is unsound and is never read past its end. The
    // reader count is not judged (see IsSoundHeader).
    if (!ZintarUtil::IsSoundHeader(header, viewLength))
        return false;

    ReadAccess access(this);
    ZintarUtil::RecordSequenceCheck check;
    bool sound = false;
    try {
        // One guarded walk over the records in place; a fault repeats it from the start.
        GuardedViewAccess([&] {
            check = ZintarUtil::RecordSequenceCheck();
            sound = ZintarUtil::ForEachNewestFirst(header, view.Data() + ZintarUtil::kSlotsOffset, header.messageCount,
                                                   [&](const MessageRecord& record) { return check.Accept(record); });
        });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to read a message while verifying file integrity", &e);
    }
    return sound;
}

void MessageFileServer::InitializeFile()
{
    if (!IsValid())
        throw ExceptionBase("Failed to initialize file, some handles or pointers are invalid");
    FileHeader header{};
    try {
        ReadAccess access(this);
        header = CopyHeader();
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to get header and lock name copies in InitializeFile()", &e);
    }
    if (header.readCount > 0)
        header.readCount -= 1;  // the read access just given back
    header.generation += 1;

    const std::uint32_t maxMessage = MaxMessage();
    const auto capacity = static_cast<std::int32_t>(maxMessage);
    if (header.capacity != capacity) {
        // Compaction: the newest records that fit, oldest first from slot 0, records unchanged.
        LoadToList(queue);
        queue.Trim(maxMessage);
        {
            WriteAccess access(this, InfiniteTimeout);
            modified = true;
            ViewSlots slots(*this, "Failed to rewrite a message during file compaction in InitializeFile()");
            queue.RewriteFromSlotZero(static_cast<std::int32_t>(queue.Entries().size()), header.capacity, slots);
        }
        header.capacity = capacity;
        if (header.messageCount < capacity) {
            header.nextSlot = std::max(header.messageCount, 0);
        } else {
            header.messageCount = capacity;
            header.nextSlot = 0;
        }
    }

    const LockNames names = ExpectedLockNames();
    {
        WriteAccess access(this, InfiniteTimeout);
        try {
            GuardedViewAccess([&] {
                std::memcpy(view.Data(), &header, sizeof header);
                std::memcpy(view.Data() + ZintarUtil::kLockNamesOffset, &names, sizeof names);
            });
        } catch (const ExceptionBase& e) {
            throw ExceptionBase("Failed to write modified header and lock names to the file in InitializeFile()", &e);
        }
    }
    LoadToList(queue);
    ringCapacity = maxMessage;
}

void MessageFileServer::RepairFile()
{
    if (!IsValid())
        throw ExceptionBase("Failed to repair the log file, some handles or pointers are invalid");
    const std::uint32_t maxMessage = MaxMessage();
    // Every slot the file holds is looked at, whatever its header says.
    const std::int32_t slotCount = ZintarUtil::SlotsWithin(viewLength);
    FileHeader found{};
    ZintarUtil::Salvage salvage;
    try {
        ReadAccess access(this);
        found = CopyHeader();
        GuardedViewAccess([&] {
            salvage = ZintarUtil::SalvageRecords(view.Data() + ZintarUtil::kSlotsOffset, slotCount, maxMessage);
        });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to read the damaged log file in RepairFile()", &e);
    }

    queue.Clear();
    for (auto record = salvage.records.rbegin(); record != salvage.records.rend(); ++record)
        queue.AppendOlder(record->sortKey, record->sequence, record->slot);
    const FileHeader repaired = ZintarUtil::RepairedHeader(found, salvage, static_cast<std::int32_t>(maxMessage));
    {
        WriteAccess access(this, InfiniteTimeout);
        modified = true;
        ViewSlots slots(*this, "Failed to move a message while repairing the log file");
        queue.RewriteFromSlotZero(repaired.messageCount, std::max(slotCount, 1), slots);
        try {
            GuardedViewAccess([&] { std::memcpy(view.Data(), &repaired, sizeof repaired); });
        } catch (const ExceptionBase& e) {
            throw ExceptionBase("Failed to write the repaired header of the log file", &e);
        }
    }
    ZintarUtil::WriteLog("Repaired the damaged log file " + logPath + ": kept " + std::to_string(salvage.records.size()) +
                         " records, dropped " + std::to_string(salvage.dropped));
}

void MessageFileServer::ReformatFile()
{
    if (!IsValid())
        throw ExceptionBase("Failed to reformat log file, some handles or pointers are invalid");
    {
        WriteAccess access(this, InfiniteTimeout);
        modified = true;
        try {
            GuardedViewAccess([this] {
                FileHeader* header = HeaderIn(view.Data());
                header->messageCount = 0;
                header->nextSlot = 0;
                header->updateCount = 1;
                header->generation = 1;
                header->nextSequence = 0;
            });
        } catch (const ExceptionBase& e) {
            throw ExceptionBase("Failed to reformat the log file's header", &e);
        }
    }
    InitializeFile();
}

void MessageFileServer::AddMessage(const LogMessage& message)
{
    {
        Mutex::Access access(settingsMutex, InfiniteTimeout);
        if (!Admits(*settings, message))
            return;
    }
    queue.Insert(message);
    Mutex::Access access(settingsMutex, InfiniteTimeout);
    queue.Trim(std::min(settings->maxMessage, ringCapacity));
    modified = true;
}

void MessageFileServer::FlushWrites()
{
    if (queue.PendingCount() == 0)
        return;
    WriteAccess access(this, InfiniteTimeout);
    FileHeader header;
    try {
        header = CopyHeader();
        // A ring without slots, or with slots beyond the mapping, is never written into.
        if (!ZintarUtil::IsSoundHeader(header, viewLength))
            throw ExceptionBase("The log file's header does not describe a ring within the file");
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to read the header during FlushWrites()", &e);
    }
    modified = true;
    ViewSlots slots(*this, "Failed to write a message during FlushWrites()");
    queue.WritePending(header, slots);
    try {
        GuardedViewAccess([&] { std::memcpy(view.Data(), &header, sizeof header); });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to rewrite the modified header in FlushWrites()", &e);
    }
    queue.MarkWritten();
}

void MessageFileServer::LoadToList(WriteQueue& target)
{
    ReadAccess access(this);
    FileHeader header;
    try {
        header = CopyHeader();
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to read log file header in LoadToList()", &e);
    }
    // The slots read must lie inside the view: the messageCount slots before nextSlot, reaching
    // the ring's last slot when they wrap. (While the file grows, the header already names the new
    // capacity and the view is still the old one; only the slots that hold messages are read.)
    // Then the records are read in place in one guarded walk (a fault repeats it from the start).
    const std::int32_t count = std::max(header.messageCount, 0);
    const std::int32_t highest = count > header.nextSlot ? header.capacity - 1 : header.nextSlot - 1;
    if (count > 0 && (!ZintarUtil::IsSoundHeader(header, UINT64_MAX) ||
                      ZintarUtil::SlotOffset(highest) + ZintarUtil::kRecordSize > viewLength)) {
        const ExceptionBase cause("The log file's header does not describe a ring within the file");
        throw ExceptionBase("Failed to read a message in LoadToList()", &cause);
    }
    try {
        GuardedViewAccess([&] { target.LoadFromRing(header, view.Data() + ZintarUtil::kSlotsOffset, count); });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to read a message in LoadToList()", &e);
    }
}

}  // namespace ZintarServer
