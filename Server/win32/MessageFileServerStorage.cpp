// MessageFileServer: judging, initializing and reformatting the stored file, and the write queue.
#include <cstring>

#include "Admission.h"
#include "Exceptions.h"
#include "GuardedViewAccess.h"
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

void CopyName(char (&target)[ZintarUtil::kLockNameSize], const std::string& name)
{
    std::strncpy(target, name.c_str(), ZintarUtil::kLockNameSize);
    target[ZintarUtil::kLockNameSize - 1] = '\0';
}


}  // namespace

void MessageFileServer::WriteRecord(std::int32_t slot, const MessageRecord& record)
{
    if (slot < 0 || ZintarUtil::SlotOffset(slot) + ZintarUtil::kRecordSize > viewLength)
        throw ExceptionBase("The log file's header describes slots beyond the mapped file");
    GuardedViewAccess([&] { std::memcpy(view.Data() + ZintarUtil::SlotOffset(slot), &record, sizeof record); });
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
    LockNames names{};
    try {
        ReadAccess access(this);
        header = CopyHeader();
        GuardedViewAccess([&] { std::memcpy(&names, view.Data() + ZintarUtil::kLockNamesOffset, sizeof names); });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to get header and lock name copies in InitializeFile()", &e);
    }
    if (header.readCount > 0)
        header.readCount -= 1;  // the read access just given back
    header.generation += 1;

    std::uint32_t maxMessage = 0;
    {
        Mutex::Access access(settingsMutex, InfiniteTimeout);
        maxMessage = settings->maxMessage;
    }
    const auto capacity = static_cast<std::int32_t>(maxMessage);
    if (header.capacity != capacity) {
        // Compaction: the newest records that fit, oldest first from slot 0, records unchanged.
        std::list<PendingEntry>& entries = queue.Entries();
        LoadToList(entries);
        while (entries.size() > maxMessage)
            entries.pop_back();
        {
            WriteAccess access(this, InfiniteTimeout);
            modified = true;
            std::int32_t slot = 0;
            for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry, ++slot) {
                try {
                    WriteRecord(slot, entry->record);
                } catch (const ExceptionBase& e) {
                    throw ExceptionBase("Failed to rewrite a message during file compaction in InitializeFile()", &e);
                }
            }
        }
        header.capacity = capacity;
        if (header.messageCount < capacity) {
            header.nextSlot = std::max(header.messageCount, 0);
        } else {
            header.messageCount = capacity;
            header.nextSlot = 0;
        }
    }

    CopyName(names.headerMutexName, headerMutexName);
    CopyName(names.readWaitEventName, readWaitEventName);
    CopyName(names.writeWaitEventName, writeWaitEventName);
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
    LoadToList(queue.Entries());
    queue.MarkWritten();  // the queue now holds exactly what the file holds
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
    queue.Trim(settings->maxMessage);
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
    queue.WritePending(header, [this](std::int32_t slot, const MessageRecord& record) {
        try {
            WriteRecord(slot, record);
        } catch (const ExceptionBase& e) {
            throw ExceptionBase("Failed to write a message during FlushWrites()", &e);
        }
    });
    try {
        GuardedViewAccess([&] { std::memcpy(view.Data(), &header, sizeof header); });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to rewrite the modified header in FlushWrites()", &e);
    }
    queue.MarkWritten();
}

void MessageFileServer::LoadToList(std::list<PendingEntry>& target)
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
    // Then the records are read in place in one guarded walk (a fault repeats it from the start),
    // oldest first and each put in front, so that the walk ascends through memory and the queue
    // still ends newest first.
    const std::int32_t count = std::max(header.messageCount, 0);
    const std::int32_t highest = count > header.nextSlot ? header.capacity - 1 : header.nextSlot - 1;
    if (count > 0 && (!ZintarUtil::IsSoundHeader(header, UINT64_MAX) ||
                      ZintarUtil::SlotOffset(highest) + ZintarUtil::kRecordSize > viewLength)) {
        const ExceptionBase cause("The log file's header does not describe a ring within the file");
        throw ExceptionBase("Failed to read a message in LoadToList()", &cause);
    }
    try {
        GuardedViewAccess([&] {
            target.clear();
            ZintarUtil::ForEachOldestFirst(header, view.Data() + ZintarUtil::kSlotsOffset, count,
                                           [&](const MessageRecord& record) {
                                               target.emplace_front(record, ZintarUtil::SortKeyOf(record.message));
                                               return true;
                                           });
        });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to read a message in LoadToList()", &e);
    }
}

}  // namespace ZintarServer
