// zintar-forward's command line and the settings it runs with. The settings are the same whether
// they come from the command line (`run`, `install`) or from the registry (the installed
// service), and are checked the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/zintar-forward/ForwardTarget.h"
#include "util/ForwardState.h"

namespace ZintarForward {

enum class Command {
    Run,      // forward in the foreground until Ctrl-C
    Install,  // install the service with these settings and start it
    Remove,   // stop and remove the service
    Status,   // print what the forwarder is doing
    Service,  // run as the installed service (the service control manager's command line)
};

using ZintarUtil::ForwardSettings;

// The settings, checked: the parsed target and pin. Throws ZintarUtil::UsageError.
struct CheckedSettings {
    ForwardSettings settings;
    ForwardTarget target;
    std::optional<Sha256> pin;
};
CheckedSettings CheckSettings(const ForwardSettings& settings);

struct ForwardCommandLine {
    Command command = Command::Run;
    ForwardSettings settings;
};

// The arguments after the program's name (parsed with CLI11), or nothing when help was asked for
// ("help", "/?" or --help) and printed to `help`. Throws ZintarUtil::UsageError.
std::optional<ForwardCommandLine> ParseForwardCommandLine(const std::vector<std::string>& args, std::string& help);

}  // namespace ZintarForward
