#include "tools/zintarctl/win32/LogWatch.h"

#include <windows.h>

#include "tools/zintarctl/win32/LogAccess.h"
#include "util/Exceptions.h"
#include "util/ZintarNames.h"

namespace ZintarCtl {

using ZintarUtil::MessageRecord;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

constexpr std::uint32_t kDefaultLines = 10;
constexpr std::uint64_t kRetryAfterStop = 1000;  // ms

}  // namespace

LogWatch::LogWatch(const CtlCommand& command)
    : command(command), printer(SelectionOf(command, Now(command.utc)), command.last.value_or(kDefaultLines))
{
}

std::vector<MessageRecord> LogWatch::Poll()
{
    return command.file ? PollFile() : PollService();
}

void LogWatch::LetGoIfStopped()
{
    if (reader && !reader->ServerRunning())
        LetGo();
}

void LogWatch::LetGo()
{
    reader.reset();
    retryAt = GetTickCount64() + kRetryAfterStop;
}

std::vector<MessageRecord> LogWatch::PollService()
{
    if (!reader && GetTickCount64() < retryAt)
        return {};
    try {
        if (!reader)
            reader.emplace(ZintarUtil::kFileMapName);
        ZintarUtil::FollowUpdate update = reader->Follow(follower);
        if (update.header.serverRunning == 0)
            LetGo();  // the reader let go of the mapping itself
        return Show(std::move(update));
    } catch (const ExceptionBase&) {
        // Not shared now: the service is stopping, restarting or not running.
        LetGo();
        return started ? std::vector<MessageRecord>{} : Show(LogOnDisk());
    }
}

// A log file that is not being served is read again whole, at most once per --poll interval
// (a caller may poll more often).
std::vector<MessageRecord> LogWatch::PollFile()
{
    if (GetTickCount64() < retryAt) {
        if (fileFailure)
            throw ExceptionBase(*fileFailure);  // still failing, as far as anyone can tell
        return {};
    }
    retryAt = GetTickCount64() + command.pollMs;
    ZintarUtil::LogImageContent content;
    try {
        content = ReadLogFile(*command.file);
        fileFailure.reset();
    } catch (const ExceptionBase& e) {
        fileFailure = e.GetFullMessage("; ");
        throw;
    }
    return Show(follower.Poll(content.header,
                              [&](std::int32_t i) { return content.newestFirst.at(static_cast<std::size_t>(i)); }));
}

std::vector<MessageRecord> LogWatch::Show(ZintarUtil::FollowUpdate update)
{
    if (command.utc)
        ToUtc(update.messages);
    missed += update.missed;
    const bool first = !std::exchange(started, true);
    return first ? printer.Start(update) : printer.Next(update);
}

}  // namespace ZintarCtl
