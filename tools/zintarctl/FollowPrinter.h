// What `follow` prints, as `tail -n N -f` and `journalctl -n N -f` do: first the newest N stored
// messages that match the selection, then every matching message that reaches the log afterwards,
// once. Where the log stands when the follow starts comes from the service's ring or, while the
// service is down, from the log file on disk; the service's ring, when it is back, holds those
// messages again, and they are not printed a second time.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/zintarctl/FollowDeduplicator.h"
#include "tools/zintarctl/MessageSelection.h"
#include "util/LogFollower.h"

namespace ZintarCtl {

class FollowPrinter {
public:
    FollowPrinter(Selection selection, std::uint32_t lines) : selection(std::move(selection)), lines(lines) {}

    // The log as it stands when the follow starts (the whole ring, oldest first; empty when no
    // log could be read): the newest `lines` selected messages, to print.
    std::vector<ZintarUtil::MessageRecord> Start(const ZintarUtil::FollowUpdate& whole);
    // A later look at the log: the selected messages not printed or seen before.
    std::vector<ZintarUtil::MessageRecord> Next(const ZintarUtil::FollowUpdate& update);

private:
    std::vector<ZintarUtil::MessageRecord> Selected(std::vector<ZintarUtil::MessageRecord> records) const;

    Selection selection;
    std::uint32_t lines;
    FollowDeduplicator seen;
};

// The whole ring of `newestFirst` as one update, oldest first, for a log read from its bytes.
ZintarUtil::FollowUpdate WholeLog(const ZintarUtil::FileHeader& header,
                                  const std::vector<ZintarUtil::MessageRecord>& newestFirst);

}  // namespace ZintarCtl
