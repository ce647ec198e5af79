#include "tools/zintarctl/win32/ServiceLogSource.h"

#include "tools/zintarctl/win32/LogAccess.h"
#include "tools/zintarctl/win32/LogWatch.h"
#include "tools/zintarctl/win32/ServiceStatus.h"

namespace ZintarCtl {

CtlCommand ServiceLogSource::WithSource(CtlCommand command) const
{
    command.file = file;
    command.utc = command.utc || utc;
    // A file read whole at each look: once a second is live enough for a page.
    if (file)
        command.pollMs = 1000;
    return command;
}

std::vector<ZintarUtil::MessageRecord> ServiceLogSource::Read(const CtlCommand& command)
{
    return ReadSelected(WithSource(command));
}

StatusReport ServiceLogSource::Status()
{
    return GatherStatus();
}

std::string ServiceLogSource::Name() const
{
    return file ? *file : "the service's log";
}

std::unique_ptr<MessageWatch> ServiceLogSource::Watch(const CtlCommand& command)
{
    return std::make_unique<LogWatch>(WithSource(command));
}

}  // namespace ZintarCtl
