// The client side of the log file: maps the file that the service shares under its mapping name
// and reads it under the locking protocol, never writing anything but the reader count.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "util/LogFileFormat.h"
#include "util/LogFollower.h"
#include "util/win32/MessageFile.h"

namespace ZintarUtil {

struct LogSnapshot {
    FileHeader header;
    std::vector<MessageRecord> records;  // newest first
};

class LogFileReader : public MessageFile {
public:
    // How long a read waits for the service to give the file back before it fails: far longer
    // than any write, so only a service that died while writing makes a read fail.
    static constexpr std::uint32_t kDefaultWriterWaitLimit = 30000;

    // Maps the log file by the name the service gives out ("Global\ZintarServiceFileMap") and
    // opens the lock and events named in its header, each with a client's rights only
    // (ClientAccess.h). Throws ExceptionWindows "Failed to open the log file's mapping", of kind
    // LogNotShared, when the service does not share the file.
    explicit LogFileReader(const std::string& fileMapName, std::uint32_t writerWaitLimit = kDefaultWriterWaitLimit);
    ~LogFileReader();

    // The header and every stored message, newest first, read in one read access.
    LogSnapshot ReadSnapshot();
    // The same into `snapshot`, whose buffer is reused (a caller that reads again and again
    // allocates nothing after the first time), and with a `limit` only the newest `limit` messages:
    // the cost is what is copied.
    void ReadSnapshot(LogSnapshot& snapshot, std::optional<std::uint32_t> limit = std::nullopt);

    // The messages written since `follower` last looked, in one read access.
    FollowUpdate Follow(LogFollower& follower);

    // Calls `visit` with the header and a function that copies the i-th newest record (0 the
    // newest, up to messageCount − 1), in one read access: a caller that walks the ring its own
    // way copies only the records it asks for.
    void Visit(const std::function<void(const FileHeader&, const NewestRecord&)>& visit);

    // Whether the service still runs on this file, read from the header without waiting for the
    // lock (one byte). A reader that sees it stopped lets go of the mapping at once (each read
    // above does so itself), so that the service's next start can resize or replace the file.
    bool ServerRunning();

private:
    // The header, judged against the mapping: a header that describes slots beyond it is refused
    // rather than read.
    FileHeader CopySoundHeader() const;
    void ReadInto(LogSnapshot& snapshot, std::optional<std::uint32_t> limit);
    // Unmaps the file when `header` says the service has stopped; the reader is then spent.
    void LetGoWhenStopped(const FileHeader& header);
};

}  // namespace ZintarUtil
