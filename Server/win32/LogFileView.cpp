#include "Server/win32/LogFileView.h"

#include <algorithm>
#include <cstring>

#include "util/Exceptions.h"
#include "util/GuardedViewAccess.h"
#include "util/win32/ClientAccess.h"
#include "util/win32/Event.h"
#include "util/win32/SecurityDescriptors.h"

namespace ZintarServer {

using ZintarUtil::GuardedViewAccess;
using ZintarUtil::Timeout;
using ZintarUtil::Exceptions::ExceptionBase;
using ZintarUtil::Exceptions::ExceptionWindows;

namespace ClientAccess = ZintarUtil::ClientAccess;

LogFileView::LogFileView(ZintarUtil::FileMapping& mapping, ZintarUtil::MappedView& view, std::uint64_t& viewLength,
                         const std::string& mapName, const LogFileHandle& file, const ClientReleaseWait& clients)
    : mapping(mapping), view(view), viewLength(viewLength), mapName(mapName), file(file), clients(clients)
{
}

void LogFileView::SetFileView(bool strictAccess)
{
    CloseFileView();
    const std::uint64_t fileLength = file.Length();
    Timeout budget(ClientReleaseWait::kBudget);
    for (;;) {
        const bool sharedSection = MapWholeFile(strictAccess);
        if (!sharedSection)
            break;
        if (SectionShowsThisFile(fileLength)) {
            GiveSectionThisStartsAccess(strictAccess);
            break;
        }
        CloseFileView();
        if (!clients.Pause(budget))
            throw ExceptionBase("Failed to map the whole log file, a client still holds an older mapping of it");
    }
    viewLength = fileLength;
    try {
        GuardedViewAccess([this] { reinterpret_cast<ZintarUtil::FileHeader*>(view.Data())->readCount = 0; });
    } catch (const ExceptionBase& e) {
        CloseFileView();
        throw ExceptionBase("Failed to reset the read count in SetFileView()", &e);
    }
}

void LogFileView::CloseFileView()
{
    viewLength = 0;
    if (!view.Close())
        throw ExceptionWindows("Failed to close file view, UnmapViewOfFile() failed");
    if (!mapping.Close())
        throw ExceptionWindows("Failed to close file view, CloseHandle() failed");
}

// Windows refuses a view flush for a moment (ERROR_LOCK_VIOLATION) while other I/O on the file's
// pages is under way: it is tried again a few times before it counts as a failure.
void LogFileView::FlushView(const char* failure, std::uint64_t fileLength)
{
    const auto length = static_cast<SIZE_T>(std::min<std::uint64_t>(fileLength, viewLength));
    for (int tries = 1; !FlushViewOfFile(view.Data(), length); ++tries) {
        if (GetLastError() != ERROR_LOCK_VIOLATION || tries == kFlushTries)
            throw ExceptionWindows(failure);
        Sleep(kFlushRetryPause);
    }
}

bool LogFileView::MapWholeFile(bool strictAccess)
{
    ZintarUtil::EveryoneSecurityAttributes attributes(ClientAccess::kMappingRights, strictAccess);
    mapping = ZintarUtil::FileMapping(
        CreateFileMappingA(file.Get(), attributes.GetSecurityAttributes(), PAGE_READWRITE, 0, 0, mapName.c_str()));
    const DWORD error = GetLastError();
    const bool existed = error == ERROR_ALREADY_EXISTS;
    if (!mapping) {
        // CreateFileMapping's answer to a name that stands for an event, a mutex, ...
        const ExceptionBase otherKind("The object " + mapName +
                                      " is not a file mapping but an object of another kind: another program "
                                      "created it");
        const ExceptionBase refusing(ZintarUtil::RefusingObjectText(mapName));
        const ExceptionBase* cause = nullptr;
        if (error == ERROR_INVALID_HANDLE)
            cause = &otherKind;
        else if (error == ERROR_ACCESS_DENIED && ZintarUtil::NamedObjectExists(mapName, OpenFileMappingA))
            cause = &refusing;
        ExceptionWindows failure("Failed to open a file mapping, CreateFileMapping() failed", cause, error);
        CloseFileView();
        throw failure;
    }
    // A section under the name that another account made first (a client only ever opens it) is
    // a squatter's, whatever it shows: refused before anything of it is read or waited for.
    if (existed) {
        if (const std::optional<std::string> owner = ZintarUtil::ForeignOwnerOf(mapping.Get())) {
            const ExceptionBase failure(ZintarUtil::ForeignOwnerText(mapName, *owner));
            CloseFileView();
            throw failure;
        }
    }
    view = ZintarUtil::MappedView(MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (!view) {
        ExceptionWindows failure("Failed to map a file view, MapViewOfFile() failed");
        CloseFileView();
        throw failure;
    }
    return existed;
}

void LogFileView::GiveSectionThisStartsAccess(bool strictAccess)
{
    try {
        ZintarUtil::EveryoneSecurityAttributes attributes(ClientAccess::kMappingRights, strictAccess);
        attributes.ApplyTo(mapping.Get(), mapName);
    } catch (...) {
        CloseFileView();
        throw;
    }
}

bool LogFileView::SectionShowsThisFile(std::uint64_t fileLength)
{
    if (view.RegionLength() < fileLength)
        return false;
    // The header area read from the file itself must be what the section shows. Another file
    // differs there (its counters, its lock names); a reader changing its count in between only
    // costs another look.
    unsigned char onDisk[ZintarUtil::kSlotsOffset] = {};
    const auto length = static_cast<DWORD>(std::min<std::uint64_t>(fileLength, sizeof onDisk));
    if (!file.ReadStart(onDisk, length))
        return false;
    bool same = false;
    try {
        GuardedViewAccess([&] { same = std::memcmp(view.Data(), onDisk, length) == 0; });
    } catch (const ExceptionBase&) {
        return false;
    }
    return same;
}

}  // namespace ZintarServer
