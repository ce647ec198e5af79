#include "util/ToolFrame.h"

#include <ostream>

namespace ZintarUtil {

int RefuseCommandLine(const ToolFrame& tool, const UsageError& refusal, std::ostream& out)
{
    out << tool.name << ": " << refusal.what() << "\n" << tool.usageHint << std::endl;
    return kExitUsage;
}

int ReportFailure(const ToolFrame& tool, const Exceptions::ExceptionBase& failure, std::ostream& out)
{
    // A system's text ends with a line break of its own: one line break ends the message.
    std::string message = failure.GetFullMessage("\n");
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    out << tool.name << ": " << message << "\n";
    const std::string hint = tool.failureHint != nullptr ? tool.failureHint(failure) : "";
    if (!hint.empty())
        out << hint << "\n";
    out << std::flush;
    return kExitFailed;
}

}  // namespace ZintarUtil
