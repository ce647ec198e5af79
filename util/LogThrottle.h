// Keeps the diagnostic log readable and bounded when one thing goes wrong again and again (a
// client that sends bad requests in a loop, a share that went away under the log file): entries
// of one kind, the same text, are written at most once a second; the next one written carries the
// count of those left out before it. Different texts are never held back (the log's rotation
// bounds them).
//
// Portable and clock-free: the caller passes the time. Not thread-safe; the log guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

namespace ZintarUtil {

class LogThrottle {
public:
    static constexpr std::int64_t kInterval = 1000;  // ms between two entries of one kind
    // Kinds remembered at once; past this the oldest are forgotten (and their next entry is
    // written at once), so that a flood of ever different texts cannot grow the table.
    static constexpr std::size_t kMaxKinds = 256;

    // Nothing when the entry is to be left out; else the number of entries of its kind left out
    // since the last one written (0 for most).
    std::optional<std::uint64_t> Admit(const std::string& text, std::int64_t nowMs);

private:
    struct Kind {
        std::int64_t lastWritten = 0;
        std::uint64_t leftOut = 0;
    };
    void ForgetOldest();

    std::unordered_map<std::string, Kind> kinds;
};

}  // namespace ZintarUtil
