#include "tools/zintarctl/win32/LogWatch.h"

#include <windows.h>

#include "tools/zintarctl/win32/LogAccess.h"
#include "util/Exceptions.h"

namespace ZintarCtl {

using ZintarUtil::MessageRecord;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

constexpr std::uint32_t kDefaultLines = 10;

}  // namespace

LogWatch::LogWatch(const CtlCommand& command)
    : command(command), printer(SelectionOf(command, Now(command.utc)), command.last.value_or(kDefaultLines),
                                command.utc ? FollowPrinter::Shown(ToUtc) : nullptr)
{
}

std::vector<MessageRecord> LogWatch::Poll()
{
    return command.file ? PollFile() : PollService();
}

void LogWatch::LetGoIfStopped()
{
    log.LetGoIfStopped();
}

std::vector<MessageRecord> LogWatch::PollService()
{
    std::vector<MessageRecord> shown;
    if (log.Visit([&](const ZintarUtil::FileHeader& header, const ZintarUtil::NewestRecord& newest) {
            shown = printer.Look(header, newest);
        }))
        return shown;
    return printer.Started() ? shown : printer.Look(LogOnDisk());
}

// A log file that is not being served is read again whole, at most once per --poll interval
// (a caller may poll more often).
std::vector<MessageRecord> LogWatch::PollFile()
{
    if (GetTickCount64() < readFileAt) {
        if (fileFailure)
            throw ExceptionBase(*fileFailure);  // still failing, as far as anyone can tell
        return {};
    }
    readFileAt = GetTickCount64() + command.pollMs;
    ZintarUtil::LogImageContent content;
    try {
        content = ReadLogFile(*command.file);
        fileFailure.reset();
    } catch (const ExceptionBase& e) {
        fileFailure = e.GetFullMessage("; ");
        throw;
    }
    return printer.Look(content);
}

}  // namespace ZintarCtl
