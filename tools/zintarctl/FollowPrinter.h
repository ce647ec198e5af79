// What `follow` prints, as `tail -n N -f` and `journalctl -n N -f` do: first the newest N stored
// messages that match the selection, then every matching message that reaches the log afterwards,
// once. Where the log stands when the follow starts comes from the service's ring or, while the
// service is down, from the log file on disk; the service's ring, when it is back, holds those
// messages again, and they are not printed a second time (the cursor finds its place there).
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "tools/zintarctl/MessageSelection.h"
#include "util/LogCursor.h"
#include "util/LogFileImage.h"

namespace ZintarCtl {

class FollowPrinter {
public:
    // Turns the messages taken into those shown and selected (times in UTC with --utc).
    using Shown = std::function<void(std::vector<ZintarUtil::MessageRecord>&)>;

    FollowPrinter(Selection selection, std::uint32_t lines, Shown shown = nullptr)
        : selection(std::move(selection)), lines(lines), shown(std::move(shown))
    {
    }

    // A look at the log under read access. The first: the newest `lines` selected messages
    // stored (none when no log could be read: an empty ring); later: the selected messages not
    // printed or seen before, oldest first.
    std::vector<ZintarUtil::MessageRecord> Look(const ZintarUtil::FileHeader& header,
                                                const ZintarUtil::NewestRecord& newest);
    // The same for a log file read from its bytes.
    std::vector<ZintarUtil::MessageRecord> Look(const ZintarUtil::LogImageContent& file);

    bool Started() const { return started; }
    // The generation of the log the last look read (0 before the first).
    std::uint64_t Generation() const { return generation; }
    // Messages the writer overwrote before a look saw them, since the last call.
    std::uint64_t TakeMissed() { return std::exchange(missed, 0); }

private:
    Selection selection;
    std::uint32_t lines;
    Shown shown;
    ZintarUtil::LogCursor cursor;
    bool started = false;
    std::uint64_t generation = 0;
    std::uint64_t missed = 0;
};

}  // namespace ZintarCtl
