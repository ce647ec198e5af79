#include "Server/win32/LogFileStartup.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "Server/ViewSlots.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/GuardedViewAccess.h"
#include "util/LogFileSalvage.h"
#include "util/LogFileSoundness.h"

namespace ZintarServer {

using ZintarUtil::FileHeader;
using ZintarUtil::GuardedViewAccess;
using ZintarUtil::InfiniteTimeout;
using ZintarUtil::MessageRecord;
using ZintarUtil::Mutex;
using ZintarUtil::Exceptions::ExceptionBase;
using ReadAccess = ZintarUtil::MessageFile::ReadAccess;
using WriteAccess = WriteAccessGate::Scope;

LogFileStartup::LogFileStartup(const Parts& parts, ServiceSettings* settings, Mutex* settingsMutex)
    : parts(parts), settings(settings), settingsMutex(settingsMutex)
{
}

std::uint32_t LogFileStartup::MaxMessage()
{
    Mutex::Access access(settingsMutex, InfiniteTimeout);
    return settings->maxMessage;
}

std::uint32_t LogFileStartup::FileLength()
{
    return ZintarUtil::FileLengthFor(MaxMessage());
}

// A sound file is kept (and compacted at its old length when the limit changed); an unsound one
// of ours is repaired, for a ring of the new limit, and then judged like any other.
void LogFileStartup::TakeIntoUse(bool existed, DWORD size, const ZintarUtil::LockNames& lockNames, bool strict)
{
    names = lockNames;
    strictAccess = strict;
    bool sound = false;
    bool repaired = false;
    if (existed && size != 0) {
        parts.view.SetFileView(strictAccess);
        sound = VerifyIntegrity();
        if (sound)
            InitializeFile();
        else
            RepairFile();
        repaired = !sound;
    }
    if (size != FileLength()) {
        parts.view.CloseFileView();
        parts.handle.ResizeFile(FileLength(), parts.clients);
        parts.view.SetFileView(strictAccess);
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
}

bool LogFileStartup::VerifyIntegrity()
{
    if (!parts.file.IsValid())
        throw ExceptionBase("Failed to verify log file integrity, some handles or pointers are invalid");
    const std::uint64_t viewLength = parts.view.Length();
    if (viewLength < ZintarUtil::kSlotsOffset)
        return false;  // not even the header area: a stub of a file
    FileHeader header;
    try {
        ReadAccess access(&parts.file);
        header = parts.file.CopyHeader();
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to get a copy of the header in VerifyIntegrity()", &e);
    }
    // The slots must lie within the file as it is mapped now: a file cut short, or a header that
    // claims more slots than the file holds, is unsound and is never read past its end. The
    // reader count is not judged (see IsSoundHeader).
    if (!ZintarUtil::IsSoundHeader(header, viewLength))
        return false;

    ReadAccess access(&parts.file);
    ZintarUtil::RecordSequenceCheck check;
    bool sound = false;
    try {
        // One guarded walk over the records in place; a fault repeats it from the start.
        GuardedViewAccess([&] {
            check = ZintarUtil::RecordSequenceCheck();
            sound = ZintarUtil::ForEachNewestFirst(header, parts.view.Data() + ZintarUtil::kSlotsOffset,
                                                   header.messageCount,
                                                   [&](const MessageRecord& record) { return check.Accept(record); });
        });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to read a message while verifying file integrity", &e);
    }
    return sound;
}

void LogFileStartup::InitializeFile()
{
    if (!parts.file.IsValid())
        throw ExceptionBase("Failed to initialize file, some handles or pointers are invalid");
    FileHeader header{};
    try {
        ReadAccess access(&parts.file);
        header = parts.file.CopyHeader();
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to get header and lock name copies in InitializeFile()", &e);
    }
    if (header.readCount > 0)
        header.readCount -= 1;  // the read access just given back
    header.generation += 1;

    WriteQueue& queue = parts.ring.Queue();
    const std::uint32_t maxMessage = MaxMessage();
    const auto capacity = static_cast<std::int32_t>(maxMessage);
    if (header.capacity != capacity) {
        // Compaction: the newest records that fit, oldest first from slot 0, records unchanged.
        LoadToList(queue);
        queue.Trim(maxMessage);
        {
            WriteAccess access(parts.gate, InfiniteTimeout);
            parts.gate.MarkModified();
            ViewSlots slots(parts.view.Data(), parts.view.Length(),
                            "Failed to rewrite a message during file compaction in InitializeFile()");
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

    {
        WriteAccess access(parts.gate, InfiniteTimeout);
        try {
            GuardedViewAccess([&] {
                std::memcpy(parts.view.Data(), &header, sizeof header);
                std::memcpy(parts.view.Data() + ZintarUtil::kLockNamesOffset, &names, sizeof names);
            });
        } catch (const ExceptionBase& e) {
            throw ExceptionBase("Failed to write modified header and lock names to the file in InitializeFile()", &e);
        }
    }
    LoadToList(queue);
    parts.ring.SetRingCapacity(maxMessage);
}

void LogFileStartup::RepairFile()
{
    if (!parts.file.IsValid())
        throw ExceptionBase("Failed to repair the log file, some handles or pointers are invalid");
    const std::uint32_t maxMessage = MaxMessage();
    // Every slot the file holds is looked at, whatever its header says.
    const std::int32_t slotCount = ZintarUtil::SlotsWithin(parts.view.Length());
    FileHeader found{};
    ZintarUtil::Salvage salvage;
    try {
        ReadAccess access(&parts.file);
        found = parts.file.CopyHeader();
        GuardedViewAccess([&] {
            salvage = ZintarUtil::SalvageRecords(parts.view.Data() + ZintarUtil::kSlotsOffset, slotCount, maxMessage);
        });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to read the damaged log file in RepairFile()", &e);
    }

    WriteQueue& queue = parts.ring.Queue();
    queue.Clear();
    for (auto record = salvage.records.rbegin(); record != salvage.records.rend(); ++record)
        queue.AppendOlder(record->sortKey, record->sequence, record->slot);
    const FileHeader repaired = ZintarUtil::RepairedHeader(found, salvage, static_cast<std::int32_t>(maxMessage));
    {
        WriteAccess access(parts.gate, InfiniteTimeout);
        parts.gate.MarkModified();
        ViewSlots slots(parts.view.Data(), parts.view.Length(),
                        "Failed to move a message while repairing the log file");
        queue.RewriteFromSlotZero(repaired.messageCount, std::max(slotCount, 1), slots);
        try {
            GuardedViewAccess([&] { std::memcpy(parts.view.Data(), &repaired, sizeof repaired); });
        } catch (const ExceptionBase& e) {
            throw ExceptionBase("Failed to write the repaired header of the log file", &e);
        }
    }
    ZintarUtil::WriteLog("Repaired the damaged log file " + parts.handle.Path() + ": kept " +
                         std::to_string(salvage.records.size()) + " records, dropped " +
                         std::to_string(salvage.dropped));
}

void LogFileStartup::ReformatFile()
{
    if (!parts.file.IsValid())
        throw ExceptionBase("Failed to reformat log file, some handles or pointers are invalid");
    {
        WriteAccess access(parts.gate, InfiniteTimeout);
        parts.gate.MarkModified();
        try {
            GuardedViewAccess([this] {
                auto* header = reinterpret_cast<FileHeader*>(parts.view.Data());
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

void LogFileStartup::LoadToList(WriteQueue& target)
{
    ReadAccess access(&parts.file);
    FileHeader header;
    try {
        header = parts.file.CopyHeader();
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
                      ZintarUtil::SlotOffset(highest) + ZintarUtil::kRecordSize > parts.view.Length())) {
        const ExceptionBase cause("The log file's header does not describe a ring within the file");
        throw ExceptionBase("Failed to read a message in LoadToList()", &cause);
    }
    try {
        GuardedViewAccess([&] { target.LoadFromRing(header, parts.view.Data() + ZintarUtil::kSlotsOffset, count); });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to read a message in LoadToList()", &e);
    }
}

}  // namespace ZintarServer
