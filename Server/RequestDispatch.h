// What the service does for each pipe request, apart from the objects it does it to: those sit
// behind RequestTarget, which the service implements with its locks, its log store and its
// restart, so that the whole request table runs the same way against a stand-in.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "LogFileFormat.h"
#include "PipeRecords.h"
#include "ServiceSettings.h"

namespace ZintarServer {

class RequestTarget {
public:
    // Adds the message to the write queue and flushes the queue, under the intake lock.
    virtual void WriteMessage(const ZintarUtil::LogMessage& message) = 0;
    // Runs `work` on the settings while holding the settings lock; the lock is given back also
    // when `work` throws.
    virtual void WithSettings(const std::function<void(ServiceSettings&)>& work) = 0;
    // Starts a restart that applies new settings and returns at once. Called with the settings
    // lock held.
    virtual void StartRestart() = 0;
    // "Logs.dat" in the directory of the running executable.
    virtual std::string DefaultLogFileName() = 0;
    // Why the file system makes `path` unusable as the log file (it names a folder, or its folder
    // does not exist), or nothing.
    virtual std::optional<std::string> RefusalOfLogFileLocation(const std::string& path) = 0;
    // Whether the Zintar device is open now.
    virtual bool DeviceOpen() = 0;

protected:
    ~RequestTarget() = default;
};

// Fills `reply` for `request`: the reply code and the body the code defines. A failure of the
// ExceptionBase family, a refused request among them, is written to the diagnostic log and
// answered with ReplyFailed, its text saying why; other exceptions leave the call.
void DispatchRequest(const ZintarUtil::PipeRequest& request, ZintarUtil::PipeReply& reply, RequestTarget& target);

}  // namespace ZintarServer
