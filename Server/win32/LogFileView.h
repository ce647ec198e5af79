// The writer's mapping of the log file: it makes the section and the view that MessageFile holds
// for every participant (the members it is given, owned by that base) from the open LogFileHandle,
// under the mapping's name and with this start's DACL, and saves the view's changes into the file.
//
// A client that still holds the mapping of an earlier run keeps that section alive under its
// name: CreateFileMappingA then hands out the old section (ERROR_ALREADY_EXISTS) instead of one of
// this file. It is used only when it covers the whole file and shows this file's bytes; a shorter
// one (the file grew) or one of another file (the log moved, or a new file was made) is let go,
// and the start waits (ClientReleaseWait) for the client to let go too. Nothing is ever written
// into a section that is not this file.
//
// Used by the thread that opens, saves or closes the log file, one at a time.
#pragma once

#include <cstdint>
#include <string>

#include "Server/win32/ClientReleaseWait.h"
#include "Server/win32/LogFileHandle.h"
#include "util/win32/FileMapping.h"

namespace ZintarServer {

class LogFileView {
public:
    LogFileView(ZintarUtil::FileMapping& mapping, ZintarUtil::MappedView& view, std::uint64_t& viewLength,
                const std::string& mapName, const LogFileHandle& file, const ClientReleaseWait& clients);
    LogFileView(const LogFileView&) = delete;
    LogFileView& operator=(const LogFileView&) = delete;

    // Maps the whole file, with the DACL that `strictAccess` asks for also on a section a client
    // held across the restart, and sets the header's reader count to 0 (readers of a section
    // mapped anew are counted anew). Throws when no section of this file could be had.
    void SetFileView(bool strictAccess);
    // Lets view and section go; throws when either cannot be closed.
    void CloseFileView();

    // Saves the view's changes to its first `fileLength` bytes into the file; throws
    // ExceptionWindows(`failure`).
    void FlushView(const char* failure, std::uint64_t fileLength);

    unsigned char* Data() const { return view.Data(); }
    // The bytes of the file that the view shows: 0 while nothing is mapped.
    std::uint64_t Length() const { return viewLength; }

private:
    static constexpr int kFlushTries = 5;
    static constexpr DWORD kFlushRetryPause = 20;  // ms

    // Maps the file under its name; true when the name already stood for a section (a client's).
    // A name that stands for an object of another kind is refused with a text that names it.
    bool MapWholeFile(bool strictAccess);
    // The section a client held across the restart, now in use again, gets this start's DACL.
    void GiveSectionThisStartsAccess(bool strictAccess);
    // The section mapped at `view` covers `fileLength` bytes and holds this file's header.
    bool SectionShowsThisFile(std::uint64_t fileLength);

    ZintarUtil::FileMapping& mapping;
    ZintarUtil::MappedView& view;
    std::uint64_t& viewLength;
    const std::string& mapName;
    const LogFileHandle& file;
    const ClientReleaseWait& clients;
};

}  // namespace ZintarServer
