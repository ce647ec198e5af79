// Watching the log as it is written, for `follow` and the web page's live stream: first the newest
// stored messages that match, then each new match once, across restarts of the service, new
// generations and new files (FollowPrinter). While the service is down it looks again once a
// second (SharedLog); the log file on disk tells where the log stood when the watch began.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/zintarctl/CtlCommandLine.h"
#include "tools/zintarctl/FollowPrinter.h"
#include "tools/zintarctl/LogSource.h"
#include "util/win32/SharedLog.h"

namespace ZintarCtl {

class LogWatch : public MessageWatch {
public:
    // The command's selection, -n (the newest 10 by default), --utc and --file.
    explicit LogWatch(const CtlCommand& command);

    // The messages to show now, oldest first: at the first look the newest -n stored, after it
    // each new one. Throws only for a --file that cannot be read.
    std::vector<ZintarUtil::MessageRecord> Poll() override;

    // Lets go of the service's mapping as soon as the service has stopped (one byte read, no
    // lock): a restart must not wait for this client to resize or replace the file. Cheap; call
    // it often between polls.
    void LetGoIfStopped() override;

    // Messages overwritten in the ring before a look saw them, since the last call.
    std::uint64_t TakeMissed() override { return printer.TakeMissed(); }

    // The generation of the log the last poll read (0 before the first).
    std::uint64_t Generation() const { return printer.Generation(); }

private:
    std::vector<ZintarUtil::MessageRecord> PollService();
    std::vector<ZintarUtil::MessageRecord> PollFile();

    CtlCommand command;
    FollowPrinter printer;
    ZintarUtil::SharedLog log;
    std::uint64_t readFileAt = 0;            // --file: GetTickCount64 before which it is not read again
    std::optional<std::string> fileFailure;  // why the last read of --file failed
};

}  // namespace ZintarCtl
