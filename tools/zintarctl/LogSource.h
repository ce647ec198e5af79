// Where the web viewer takes its messages and its status from: the service's shared log, or a log
// file on disk. The viewer only reads; nothing here changes the service.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/zintarctl/CtlCommandLine.h"
#include "tools/zintarctl/StatusReport.h"
#include "util/LogFileFormat.h"

namespace ZintarCtl {

// One live view of the log: first the newest stored messages of its selection, then each new one.
class MessageWatch {
public:
    virtual ~MessageWatch() = default;
    // The messages to show now, oldest first (the first call: the newest stored).
    virtual std::vector<ZintarUtil::MessageRecord> Poll() = 0;
    // Called often between polls: lets go of the log when its writer has stopped.
    virtual void LetGoIfStopped() = 0;
    // Messages the writer overwrote before a poll saw them, since the last call.
    virtual std::uint64_t TakeMissed() = 0;
};

class LogSource {
public:
    virtual ~LogSource() = default;
    // What `read` prints for `command`, oldest first. Throws ZintarUtil::UsageError for a
    // selection that cannot be used, Exceptions::ExceptionBase when the log cannot be read.
    virtual std::vector<ZintarUtil::MessageRecord> Read(const CtlCommand& command) = 0;
    virtual StatusReport Status() = 0;
    // "the service's log", or the file's path.
    virtual std::string Name() const = 0;
    virtual std::unique_ptr<MessageWatch> Watch(const CtlCommand& command) = 0;
};

}  // namespace ZintarCtl
