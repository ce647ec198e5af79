#include "util/win32/LogFileReader.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "util/Exceptions.h"
#include "util/GuardedViewAccess.h"
#include "util/LogFileSoundness.h"
#include "util/win32/ClientAccess.h"

namespace ZintarUtil {

using Exceptions::ExceptionBase;
using Exceptions::ExceptionWindows;

namespace {

// Copies one record around the cache when the processor can: a snapshot of a large ring is read
// once and written once, so keeping it out of the cache saves the reads a cached write costs.
// Slots are 16-byte aligned in the view (240 and 560 are multiples of 16); the target may not be.
void CopyRecordStreaming(MessageRecord* target, const unsigned char* source)
{
#if defined(__SSE2__)
    static_assert(kSlotsOffset % 16 == 0 && kRecordSize % 16 == 0);
    if (reinterpret_cast<std::uintptr_t>(target) % 16 == 0) {
        auto* to = reinterpret_cast<__m128i*>(target);
        const auto* from = reinterpret_cast<const __m128i*>(source);
        for (std::size_t i = 0; i < kRecordSize / 16; ++i)
            _mm_stream_si128(to + i, _mm_load_si128(from + i));
        return;
    }
#endif
    std::memcpy(target, source, kRecordSize);
}

std::string NameFrom(const char (&field)[kLockNameSize])
{
    return std::string(field, strnlen(field, kLockNameSize));
}

}  // namespace

LogFileReader::LogFileReader(const std::string& mapName, std::uint32_t writerWaitLimit)
{
    SetReaderWaitLimit(writerWaitLimit);
    FileMapping mapping(OpenFileMappingA(ClientAccess::kMapping, FALSE, mapName.c_str()));
    if (!mapping)
        throw ExceptionWindows(Exceptions::FailureKind::LogNotShared, "Failed to open the log file's mapping");
    MappedView mapped(MapViewOfFile(mapping.Get(), ClientAccess::kMapping, 0, 0, 0));
    if (!mapped)
        throw ExceptionWindows("Failed to map a view of the log file");
    const std::uint64_t length = mapped.RegionLength();
    if (length < kSlotsOffset)
        throw ExceptionBase("The mapped log file is too short to hold its header");

    // The names of the lock and events stand in the header area; the service writes them when it
    // initializes the file and never changes them while it runs.
    LockNames names{};
    GuardedViewAccess([&] { std::memcpy(&names, mapped.Data() + kLockNamesOffset, sizeof names); });
    OpenExistingObjects(mapName, NameFrom(names.headerMutexName), NameFrom(names.readWaitEventName),
                        NameFrom(names.writeWaitEventName));
    fileMapping = std::move(mapping);
    view = std::move(mapped);
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
    ReadSnapshot(snapshot);
    return snapshot;
}

void LogFileReader::LetGoWhenStopped(const FileHeader& header)
{
    if (header.serverRunning == 0)
        CloseFile();
}

bool LogFileReader::ServerRunning()
{
    if (!IsValid())
        return false;
    std::uint8_t running = 0;
    GuardedViewAccess([&] { running = reinterpret_cast<const FileHeader*>(view.Data())->serverRunning; });
    if (running == 0)
        CloseFile();
    return running != 0;
}

void LogFileReader::ReadSnapshot(LogSnapshot& snapshot, std::optional<std::uint32_t> limit)
{
    ReadInto(snapshot, limit);
    LetGoWhenStopped(snapshot.header);
}

void LogFileReader::ReadInto(LogSnapshot& snapshot, std::optional<std::uint32_t> limit)
{
    ReadAccess access(this);
    snapshot.header = CopySoundHeader();  // every slot it describes lies inside the view
    const FileHeader& h = snapshot.header;
    const auto count = static_cast<std::int32_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(h.messageCount), limit.value_or(UINT32_MAX)));
    snapshot.records.resize(static_cast<std::size_t>(count));
    MessageRecord* target = snapshot.records.data();
    const unsigned char* slots = view.Data() + kSlotsOffset;
    // One guarded frame for the whole walk (a fault anywhere repeats it, which is harmless). The
    // view is read forwards, oldest first, without a division per record, and the buffer filled
    // from its end: a forward read of the mapping is what the processor streams fastest.
    GuardedViewAccess([&] {
        std::int32_t slot = count > 0 ? NewestFirstSlot(h.nextSlot, h.capacity, count - 1) : 0;
        for (std::int32_t i = count - 1; i >= 0; --i) {
            CopyRecordStreaming(target + i, slots + static_cast<std::size_t>(slot) * kRecordSize);
            slot = slot + 1 == h.capacity ? 0 : slot + 1;
        }
#if defined(__SSE2__)
        _mm_sfence();  // the streamed stores are visible before the snapshot is used
#endif
    });
}

FollowUpdate LogFileReader::Follow(LogFollower& follower)
{
    FollowUpdate update;
    Visit([&](const FileHeader& header, const NewestRecord& newest) { update = follower.Poll(header, newest); });
    return update;
}

void LogFileReader::Visit(const std::function<void(const FileHeader&, const NewestRecord&)>& visit)
{
    FileHeader header;
    {
        ReadAccess access(this);
        header = CopySoundHeader();
        visit(header, [&](std::int32_t i) { return CopyRecord(NewestFirstSlot(header.nextSlot, header.capacity, i)); });
    }
    LetGoWhenStopped(header);
}

}  // namespace ZintarUtil
