#include "util/win32/MessageFile.h"

#include <cstring>

#include "util/Exceptions.h"
#include "util/GuardedViewAccess.h"
#include "util/win32/ClientAccess.h"

namespace ZintarUtil {

using Exceptions::ExceptionBase;

MessageFile::MessageFile() = default;

MessageFile::~MessageFile() noexcept(false)
{
    CloseMembers();
}

bool MessageFile::IsValid() const
{
    return view && headerMutex != nullptr && fileMapping && readWaitEvent != nullptr && writeWaitEvent != nullptr;
}

void MessageFile::OpenFile(const std::string& newFileMapName, const std::string& newHeaderMutexName,
                           const std::string& newReadWaitEventName, const std::string& newWriteWaitEventName,
                           const SharedObjectAttributes& attributes)
{
    OpenObjects(newFileMapName, newHeaderMutexName, newReadWaitEventName, newWriteWaitEventName, [&] {
        headerMutex = std::make_unique<Mutex>(headerMutexName, attributes.headerMutex);
        readWaitEvent = std::make_unique<Event>(readWaitEventName, attributes.readWaitEvent);
        writeWaitEvent = std::make_unique<Event>(writeWaitEventName, attributes.writeWaitEvent);
    });
}

void MessageFile::OpenExistingObjects(const std::string& newFileMapName, const std::string& newHeaderMutexName,
                                      const std::string& newReadWaitEventName, const std::string& newWriteWaitEventName)
{
    OpenObjects(newFileMapName, newHeaderMutexName, newReadWaitEventName, newWriteWaitEventName, [&] {
        headerMutex = std::make_unique<Mutex>(headerMutexName, OpenRights{ClientAccess::kHeaderLock});
        readWaitEvent = std::make_unique<Event>(readWaitEventName, OpenRights{ClientAccess::kReadWaitEvent});
        writeWaitEvent = std::make_unique<Event>(writeWaitEventName, OpenRights{ClientAccess::kWriteWaitEvent});
    });
}

void MessageFile::OpenObjects(const std::string& newFileMapName, const std::string& newHeaderMutexName,
                              const std::string& newReadWaitEventName, const std::string& newWriteWaitEventName,
                              const std::function<void()>& openObjects)
{
    fileMapName = newFileMapName;
    headerMutexName = newHeaderMutexName;
    readWaitEventName = newReadWaitEventName;
    writeWaitEventName = newWriteWaitEventName;
    const char* failure = "Failed to create file access objects in MessageFile::OpenFile()";
    try {
        openObjects();
    } catch (const ExceptionBase& e) {
        CloseFile();
        throw ExceptionBase(failure, &e);
    } catch (const std::exception& e) {
        CloseFile();
        const ExceptionBase cause(e.what());
        throw ExceptionBase(failure, &cause);
    }
}

void MessageFile::CloseFile()
{
    CloseMembers();
}

void MessageFile::CloseMembers()
{
    Mutex::Access access(objectLock, InfiniteTimeout);
    view.Close();
    viewLength = 0;
    fileMapping.Close();
    // An event whose handle cannot be closed stays open, and so does everything after it: each is
    // closed before its object goes, so the failure is thrown from here, not from a destructor
    // that unique_ptr would call without letting it throw.
    CloseEvent(readWaitEvent);
    CloseEvent(writeWaitEvent);
    headerMutex.reset();
}

void MessageFile::CloseEvent(std::unique_ptr<Event>& event)
{
    if (event == nullptr)
        return;
    try {
        event->Close();
    } catch (...) {
        // Its handle is broken for good, and its destructor would only fail again where nothing
        // may throw: the small object is given up instead.
        event.release();
        throw;
    }
    event.reset();
}

void MessageFile::GrabReadAccess()
{
    if (!IsValid())
        throw ExceptionBase("Failed to grab read access, some handles or pointers are invalid");
    try {
        Timeout limit(readerWaitLimit);
        for (;;) {
            {
                // A holder past the limit died there: the lock is taken over (SetReaderWaitLimit).
                Mutex::Access header(headerMutex.get(), limit);
                if (readWaitEvent->Wait(0)) {
                    GuardedViewAccess([this] { reinterpret_cast<FileHeader*>(view.Data())->readCount += 1; });
                    writeWaitEvent->RemoveSignal();
                    return;
                }
            }
            // A writer holds the file or is waiting for the readers inside to leave. The wait for
            // it happens without the header mutex: readers that are leaving need that mutex, and
            // the writer waits for them.
            if (!readWaitEvent->Wait(limit.Remaining()))
                throw ExceptionBase("The log file's writer did not give the file back in time");
        }
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to get message file read access", &e);
    }
}

void MessageFile::ReleaseReadAccess()
{
    if (!IsValid())
        throw ExceptionBase("Failed to release read access, some handles or pointers are invalid");
    Timeout limit(readerWaitLimit);
    Mutex::Access header(headerMutex.get(), limit);
    try {
        std::uint32_t count = 0;
        GuardedViewAccess([&] { count = reinterpret_cast<const FileHeader*>(view.Data())->readCount; });
        // A writer that forced its access has set the count to 0 while this reader was inside:
        // the count never goes below 0, and 0 always lets the writer in.
        if (count > 0)
            count -= 1;
        GuardedViewAccess([&] { reinterpret_cast<FileHeader*>(view.Data())->readCount = count; });
        if (count == 0)
            writeWaitEvent->SetSignal();
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to release message file read access", &e);
    }
}

MessageFile::ReadAccess::ReadAccess(MessageFile* file) : file(file)
{
    if (file == nullptr)
        throw ExceptionBase("MessageFile ReadAccess object created with null pointer");
    file->GrabReadAccess();
}

MessageFile::ReadAccess::~ReadAccess() noexcept(false)
{
    release.Run([this] { file->ReleaseReadAccess(); });
}

FileHeader MessageFile::CopyHeader() const
{
    if (viewLength < sizeof(FileHeader))
        throw ExceptionBase("The mapped log file is too short to hold its header");
    FileHeader header;
    GuardedViewAccess([&] { std::memcpy(&header, view.Data(), sizeof header); });
    return header;
}

MessageRecord MessageFile::CopyRecord(std::int32_t slot) const
{
    if (slot < 0 || SlotOffset(slot) + kRecordSize > viewLength)
        throw ExceptionBase("The log file's header describes slots beyond the mapped file");
    MessageRecord record;
    GuardedViewAccess([&] { std::memcpy(&record, view.Data() + SlotOffset(slot), sizeof record); });
    return record;
}

}  // namespace ZintarUtil
