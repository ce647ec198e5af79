#include "LogFileReader.h"

#include <cstring>

#include "Exceptions.h"
#include "GuardedViewAccess.h"
#include "LogFileSoundness.h"

namespace ZintarUtil {

using Exceptions::ExceptionBase;
using Exceptions::ExceptionWindows;

namespace {

std::string NameFrom(const char (&field)[kLockNameSize])
{
    return std::string(field, strnlen(field, kLockNameSize));
}

}  // namespace

LogFileReader::LogFileReader(const std::string& mapName, std::uint32_t writerWaitLimit)
{
    SetReaderWaitLimit(writerWaitLimit);
    fileMapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, mapName.c_str());
    if (fileMapping == nullptr)
        throw ExceptionWindows("Failed to open the log file's mapping");
    view = static_cast<unsigned char*>(MapViewOfFile(fileMapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    if (view == nullptr) {
        ExceptionWindows failure("Failed to map a view of the log file");
        CloseFile();
        throw failure;
    }
    MEMORY_BASIC_INFORMATION region{};
    VirtualQuery(view, &region, sizeof region);
    viewLength = region.RegionSize;

    // The names of the lock and events stand in the header area; the service writes them when it
    // initializes the file and never changes them while it runs.
    LockNames names{};
    if (viewLength < kSlotsOffset) {
        CloseFile();
        throw ExceptionBase("The mapped log file is too short to hold its header");
    }
    GuardedViewAccess([&] { std::memcpy(&names, view + kLockNamesOffset, sizeof names); });
    const HANDLE mapping = fileMapping;
    unsigned char* const mapped = view;
    const std::uint64_t length = viewLength;
    fileMapping = nullptr;  // OpenFile closes on failure; keep the mapping out of its reach
    view = nullptr;
    try {
        MessageFile::OpenFile(mapName, NameFrom(names.headerMutexName), NameFrom(names.readWaitEventName),
                              NameFrom(names.writeWaitEventName), nullptr);
    } catch (...) {
        UnmapViewOfFile(mapped);
        CloseHandle(mapping);
        throw;
    }
    fileMapping = mapping;
    view = mapped;
    viewLength = length;
}

LogFileReader::~LogFileReader() = default;

FileHeader LogFileReader::CopySoundHeader() const
{
    const FileHeader header = CopyHeader();
    if (!IsSoundHeader(header, viewLength))
        throw ExceptionBase("The log file's header is not sound");
    return header;
}

LogSnapshot LogFileReader::ReadSnapshot()
{
    LogSnapshot snapshot;
    ReadAccess access(this);
    snapshot.header = CopySoundHeader();
    const FileHeader& h = snapshot.header;
    snapshot.records.reserve(static_cast<std::size_t>(h.messageCount));
    for (std::int32_t i = 0; i < h.messageCount; ++i)
        snapshot.records.push_back(CopyRecord(NewestFirstSlot(h.nextSlot, h.capacity, i)));
    return snapshot;
}

FollowUpdate LogFileReader::Follow(LogFollower& follower)
{
    ReadAccess access(this);
    const FileHeader header = CopySoundHeader();
    return follower.Poll(header, [&](std::int32_t i) {
        return CopyRecord(NewestFirstSlot(header.nextSlot, header.capacity, i));
    });
}

}  // namespace ZintarUtil
