// The part of the shared log file that every participant holds: the names, the shared lock and
// events, the mapping and its view, and read access. Client programs read the log through it; the
// service's writer derives from it.
//
// Locking protocol between the one writer and any number of readers, over the header mutex, two
// manual-reset events and the readCount field of the file:
//   reader enters:  take headerMutex; if readWaitEvent is signalled, readCount + 1, reset
//                   writeWaitEvent, give headerMutex back; otherwise give headerMutex back, wait
//                   for readWaitEvent and try again;
//   reader leaves:  take headerMutex, readCount − 1, set writeWaitEvent when it reaches 0, give
//                   headerMutex back;
//   writer: see MessageFileServer.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "util/LogFileFormat.h"
#include "util/UnwindingAwareRelease.h"
#include "util/win32/Event.h"
#include "util/win32/FileMapping.h"
#include "util/win32/Mutex.h"

namespace ZintarUtil {

class MessageFile {
public:
    MessageFile();
    MessageFile(const MessageFile&) = delete;
    MessageFile& operator=(const MessageFile&) = delete;
    ~MessageFile() noexcept(false);

    // Who may open each shared object that OpenFile creates (null: the creator's default).
    struct SharedObjectAttributes {
        SECURITY_ATTRIBUTES* headerMutex = nullptr;
        SECURITY_ATTRIBUTES* readWaitEvent = nullptr;
        SECURITY_ATTRIBUTES* writeWaitEvent = nullptr;
    };

    // Gives up view, mapping and the shared objects. Only a failure to close an event throws.
    virtual void CloseFile();
    // Stores the names and creates or opens the three shared objects (an existing object is
    // opened in its current state; one of the wrong kind is refused, see Mutex and Event); does
    // not map anything. The writer's side.
    virtual void OpenFile(const std::string& fileMapName, const std::string& headerMutexName,
                          const std::string& readWaitEventName, const std::string& writeWaitEventName,
                          const SharedObjectAttributes& attributes);

    // View, header mutex, mapping and both events are present.
    bool IsValid() const;

    void GrabReadAccess();
    void ReleaseReadAccess();

    // One read access: the grab at construction, the release at destruction.
    class ReadAccess {
    public:
        explicit ReadAccess(MessageFile* file);
        ReadAccess(const ReadAccess&) = delete;
        ReadAccess& operator=(const ReadAccess&) = delete;
        ~ReadAccess() noexcept(false);

    private:
        MessageFile* file;
        UnwindingAwareRelease release;
    };

    // Copies of the view, each inside the guarded view access; the caller holds read or write
    // access. Reads never go past the mapped length: a slot outside it throws.
    FileHeader CopyHeader() const;
    MessageRecord CopyRecord(std::int32_t slot) const;

    std::uint64_t ViewLength() const { return viewLength; }

protected:
    // The same for a reader of another process: the three objects must exist, and each is opened
    // with the rights a client needs and no more (ClientAccess.h).
    void OpenExistingObjects(const std::string& fileMapName, const std::string& headerMutexName,
                             const std::string& readWaitEventName, const std::string& writeWaitEventName);

    // How long a reader waits for the header mutex, and for a writer to give the file back, before
    // it gives up. The header mutex is held only for a few steps: one held longer belongs to a
    // process that died there, and the reader takes it over (as a writer does). Without a limit a
    // reader waits for good.
    void SetReaderWaitLimit(std::uint32_t milliseconds) { readerWaitLimit = milliseconds; }

    FileMapping fileMapping;
    std::string fileMapName;
    std::unique_ptr<Event> readWaitEvent;
    std::string readWaitEventName;
    std::unique_ptr<Event> writeWaitEvent;
    std::string writeWaitEventName;
    std::unique_ptr<Mutex> headerMutex;
    std::string headerMutexName;
    MappedView view;
    std::uint64_t viewLength = 0;  // bytes of the file that `view` shows
    Mutex objectLock;

private:
    // Stores the names and runs `openObjects`; on a failure gives everything up and throws.
    void OpenObjects(const std::string& fileMapName, const std::string& headerMutexName,
                     const std::string& readWaitEventName, const std::string& writeWaitEventName,
                     const std::function<void()>& openObjects);
    void CloseMembers();
    static void CloseEvent(std::unique_ptr<Event>& event);

    std::uint32_t readerWaitLimit = kInfinite;
};

}  // namespace ZintarUtil
