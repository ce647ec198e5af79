// The service's shared log for a reader that outlives the service's runs (the forwarder, `follow`,
// the web page): mapped when first needed, let go as soon as the service stops (so that its next
// start may resize or replace the file), and, while it is not shared, looked for again once a
// second.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "util/LogFileFormat.h"
#include "util/ZintarNames.h"
#include "util/win32/LogFileReader.h"

namespace ZintarUtil {

class SharedLog {
public:
    explicit SharedLog(std::string fileMapName = kFileMapName) : fileMapName(std::move(fileMapName)) {}

    // Calls `visit` with the header and the records under one read access (LogFileReader::Visit).
    // False, without calling it, when the log is not shared now; throws nothing of its own.
    bool Visit(const std::function<void(const FileHeader&, const NewestRecord&)>& visit);

    // Lets go of the mapping when the service has stopped: one byte read, no lock. Cheap; call it
    // often between visits.
    void LetGoIfStopped();

private:
    void LetGo();

    std::string fileMapName;
    std::optional<LogFileReader> reader;
    std::uint64_t lookAgainAt = 0;  // GetTickCount64 before which the log is not looked for again
};

}  // namespace ZintarUtil
