// The web viewer's view of this machine: the service's shared log (or the log file given with
// --file) and the service's status, read with the same code as `read`, `follow` and `status`.
#pragma once

#include <optional>
#include <string>

#include "tools/zintarctl/LogSource.h"

namespace ZintarCtl {

class ServiceLogSource : public LogSource {
public:
    // `file`: a log file read from disk instead of the service's mapping; `utc`: times in UTC.
    ServiceLogSource(std::optional<std::string> file, bool utc) : file(std::move(file)), utc(utc) {}

    std::vector<ZintarUtil::MessageRecord> Read(const CtlCommand& command) override;
    StatusReport Status() override;
    std::string Name() const override;
    std::unique_ptr<MessageWatch> Watch(const CtlCommand& command) override;

private:
    CtlCommand WithSource(CtlCommand command) const;

    std::optional<std::string> file;
    bool utc;
};

}  // namespace ZintarCtl
