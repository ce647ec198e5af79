// The service as zintarctl finds it: asked of the service control manager, pinged on its pipe,
// and looked at through its shared log file. Every question is bounded, so that a hung service
// delays the answer by at most a few seconds.
#pragma once

#include "tools/zintarctl/StatusReport.h"

namespace ZintarCtl {

StatusReport GatherStatus();

}  // namespace ZintarCtl
