// A log file read from its bytes rather than through the service's mapping: a copy sent from
// another site, or the file of a stopped service. It is judged as the service judges a file it
// opens: a sound file is read as it stands, a damaged one of the service's is salvaged (and says
// how much was skipped), and a file that is not one of the service's is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "util/LogFileFormat.h"

namespace ZintarUtil {

struct LogImageContent {
    enum class Kind { Sound, Damaged, Foreign };
    Kind kind = Kind::Foreign;
    // As found when sound; for a damaged file, a header made as a repair makes one, for a ring of
    // as many slots as the file holds.
    FileHeader header{};
    std::vector<MessageRecord> newestFirst;
    std::uint64_t skipped = 0;  // damaged: slots that held something and were not kept
};

// `bytes` is the whole file, `length` bytes long. A file of the service's is one whose lock names
// are the service's (ZintarNames.h).
LogImageContent ReadLogImage(const unsigned char* bytes, std::size_t length);

}  // namespace ZintarUtil
