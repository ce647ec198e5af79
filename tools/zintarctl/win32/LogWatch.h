// Watching the log as it is written, for `follow` and the web page's live stream: first the newest
// stored messages that match, then each new match once, across restarts of the service, new
// generations and new files. While the service is down it looks again once a second; the log
// file on disk tells where the log stood when the watch began.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/zintarctl/CtlCommandLine.h"
#include "tools/zintarctl/FollowPrinter.h"
#include "tools/zintarctl/LogSource.h"
#include "util/LogFollower.h"
#include "util/win32/LogFileReader.h"

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
    std::uint64_t TakeMissed() override { return std::exchange(missed, 0); }

    // The generation of the log the last poll read (0 before the first).
    std::uint64_t Generation() const { return follower.Generation().value_or(0); }

private:
    std::vector<ZintarUtil::MessageRecord> PollService();
    std::vector<ZintarUtil::MessageRecord> PollFile();
    std::vector<ZintarUtil::MessageRecord> Show(ZintarUtil::FollowUpdate update);
    void LetGo();

    CtlCommand command;
    FollowPrinter printer;
    ZintarUtil::LogFollower follower;
    std::optional<ZintarUtil::LogFileReader> reader;
    bool started = false;
    std::uint64_t retryAt = 0;  // GetTickCount64 before which the log is not looked for again
    std::uint64_t missed = 0;
    std::optional<std::string> fileFailure;  // why the last read of --file failed
};

}  // namespace ZintarCtl
