// What the service does for each pipe request, apart from the objects it does it to: those sit
// behind RequestTarget, which the service implements with its locks, its log store and its
// restart, so that the whole request table runs the same way against a stand-in.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "Server/ServiceSettings.h"
#include "util/LogFileFormat.h"
#include "util/PipeRecords.h"

namespace ZintarServer {

// Who sent a request, as far as the service's rules need to know: the connection finds it out
// once, from the client's token.
struct Caller {
    bool isAdministrator = false;  // a member of Administrators (elevated) or LocalSystem
};

// The service runs as LocalSystem and writes the file it is told to, with its own rights, into a
// mapping every local user can read and write: requests that change what it does with files or
// what it keeps (SetSettings, SetLogFileName, AddFilter, ClearFilters: those the protocol's table
// in PipeRecords.h gives to Administrators) are carried out only for an administrator, unless the
// site has allowed every local user. Reading requests and WriteMessage are open to every local
// user. A refused caller is answered with Pipe::kNeedsAdministrator.
bool MayCarryOut(std::uint32_t code, const Caller& caller, bool anyUserMayChange);

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
// answered with ReplyFailed, its text saying why; other exceptions leave the call. A request the
// caller may not have carried out is refused that way.
void DispatchRequest(const ZintarUtil::PipeRequest& request, ZintarUtil::PipeReply& reply, RequestTarget& target,
                     const Caller& caller);

}  // namespace ZintarServer
