// What a start makes of the log file it opened, before the intake begins:
//   keep     a sound file (its header describes a ring within the file, its records are
//            well-formed and in time order) is kept, one generation on;
//   compact  kept at its old length when the limit changed: the newest records that fit, oldest
//            first from slot 0, records unchanged;
//   repair   an unsound file of ours is rebuilt from the records in it that are whole, oldest
//            first from slot 0, for a ring of maxMessage slots (one line in the diagnostic log),
//            and then judged like any other;
//   reformat what is still unsound, and a new or empty file, gets an empty ring.
// On the way the file is sized for a ring of maxMessage slots, the lock names are written into
// its header area, and the queue is loaded with what the ring holds. A file that is not one of
// this service's was dealt with before (LogFileHandle::HoldsLockNames).
//
// Runs on the opening thread, with the shared objects made and the file open but nothing mapped.
// Takes read and write access (WriteAccessGate) one at a time, and reads maxMessage under
// settingsMutex outside them.
#pragma once

#include <windows.h>

#include <cstdint>

#include "Server/ServiceSettings.h"
#include "Server/win32/ClientReleaseWait.h"
#include "Server/win32/LogFileHandle.h"
#include "Server/win32/LogFileView.h"
#include "Server/win32/RingWriter.h"
#include "Server/win32/WriteAccessGate.h"
#include "util/win32/MessageFile.h"
#include "util/win32/Mutex.h"

namespace ZintarServer {

class LogFileStartup {
public:
    // The parts of the writer that a start works with.
    struct Parts {
        ZintarUtil::MessageFile& file;  // read access and header copies
        LogFileHandle& handle;
        LogFileView& view;
        WriteAccessGate& gate;
        RingWriter& ring;
        const ClientReleaseWait& clients;
    };

    LogFileStartup(const Parts& parts, ServiceSettings* settings, ZintarUtil::Mutex* settingsMutex);
    LogFileStartup(const LogFileStartup&) = delete;
    LogFileStartup& operator=(const LogFileStartup&) = delete;

    // Keeps, compacts, repairs or reformats the open file, which `existed` before this open with
    // `size` bytes, and leaves it mapped. `names`: the lock names this open was given, written
    // into the header area; `strictAccess`: the DACL of the mapping.
    void TakeIntoUse(bool existed, DWORD size, const ZintarUtil::LockNames& names, bool strictAccess);

private:
    bool VerifyIntegrity();
    // Counts the generation on, compacts the ring when the limit changed, writes header and lock
    // names, and loads the queue.
    void InitializeFile();
    void RepairFile();
    void ReformatFile();
    // Loads the file's records into `target`, newest first: their keys, sequences and slots.
    void LoadToList(WriteQueue& target);

    std::uint32_t MaxMessage();
    std::uint32_t FileLength();

    Parts parts;
    ServiceSettings* settings;
    ZintarUtil::Mutex* settingsMutex;
    ZintarUtil::LockNames names{};
    bool strictAccess = false;
};

}  // namespace ZintarServer
