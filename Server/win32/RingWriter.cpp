#include "Server/win32/RingWriter.h"

#include <algorithm>
#include <cstring>

#include "Server/Admission.h"
#include "Server/ViewSlots.h"
#include "util/Exceptions.h"
#include "util/GuardedViewAccess.h"
#include "util/LogFileSoundness.h"

namespace ZintarServer {

using ZintarUtil::FileHeader;
using ZintarUtil::GuardedViewAccess;
using ZintarUtil::InfiniteTimeout;
using ZintarUtil::Mutex;
using ZintarUtil::Exceptions::ExceptionBase;

RingWriter::RingWriter(ZintarUtil::MessageFile& file, const LogFileView& view, WriteAccessGate& gate,
                       ServiceSettings* settings, Mutex* settingsMutex)
    : file(file), view(view), gate(gate), settings(settings), settingsMutex(settingsMutex)
{
}

void RingWriter::AddMessage(const ZintarUtil::LogMessage& message)
{
    {
        Mutex::Access access(settingsMutex, InfiniteTimeout);
        if (!Admits(*settings, message))
            return;
    }
    queue.Insert(message);
    Mutex::Access access(settingsMutex, InfiniteTimeout);
    queue.Trim(std::min(settings->maxMessage, ringCapacity));
    gate.MarkModified();
}

void RingWriter::FlushWrites()
{
    if (queue.PendingCount() == 0)
        return;
    WriteAccessGate::Scope access(gate, InfiniteTimeout);
    FileHeader header;
    try {
        header = file.CopyHeader();
        // A ring without slots, or with slots beyond the mapping, is never written into.
        if (!ZintarUtil::IsSoundHeader(header, view.Length()))
            throw ExceptionBase("The log file's header does not describe a ring within the file");
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to read the header during FlushWrites()", &e);
    }
    gate.MarkModified();
    ViewSlots slots(view.Data(), view.Length(), "Failed to write a message during FlushWrites()");
    queue.WritePending(header, slots);
    try {
        GuardedViewAccess([&] { std::memcpy(view.Data(), &header, sizeof header); });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to rewrite the modified header in FlushWrites()", &e);
    }
    queue.MarkWritten();
}

}  // namespace ZintarServer
