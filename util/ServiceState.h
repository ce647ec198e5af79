// What the service control manager says of a service, as the tools act on it: `zintarctl status`
// chooses its exit code by it, `zintar-forward install` and `remove` their steps.
#pragma once

namespace ZintarUtil::Services {

enum class ServiceState { Running, Stopped, Pending, NotInstalled, Unknown };

}  // namespace ZintarUtil::Services
