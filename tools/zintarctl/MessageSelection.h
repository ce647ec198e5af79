// Which stored messages zintarctl prints: types, a time range, a text filter (the service's own
// prefix rule) or a regular expression.
#pragma once

#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tools/zintarctl/CtlCommandLine.h"
#include "util/LogFileFormat.h"

namespace ZintarCtl {

struct Selection {
    std::uint32_t types = ZintarUtil::kEveryTypeMask;  // bit i selects type i
    std::optional<std::uint64_t> sinceKey, untilKey;   // sort keys, both ends included
    std::optional<std::string> textPrefix;
    std::optional<std::regex> pattern;
};

// Times are read relative to `now` ("today", "-2h"), in the zone the messages are shown in.
// Throws UsageError for a time or a regular expression that cannot be read.
Selection SelectionOf(const CtlCommand& command, const ZintarUtil::TimeFields& now);

bool Selects(const Selection& selection, const ZintarUtil::LogMessage& message);

// The selected records of `newestFirst`, oldest first; with `last`, only the newest `last` of them.
std::vector<ZintarUtil::MessageRecord> Select(const std::vector<ZintarUtil::MessageRecord>& newestFirst,
                                              const Selection& selection, std::optional<std::uint32_t> last);

}  // namespace ZintarCtl
