// zintar-forward as the Windows service "ZintarForward" (display name "Tervan Log Forwarder"): it
// runs as NT AUTHORITY\LocalService with a SID of its own (NT SERVICE\ZintarForward) and no
// privilege but SeChangeNotifyPrivilege, reads its settings from the registry at every start, and
// runs the forwarder on a thread of its own ("Forwarder") until it is stopped. The forwarder ends
// within 2 s of the stop, whatever the collector does (every wait watches the stop), having
// delivered what it could and saved its resume point: the stop reports no error, so the
// manager's failure actions never restart a service an administrator stopped.
//
// Also what `run` and the service share: the forwarder's run with the saved resume point.
#pragma once

#include <windows.h>

#include <memory>

#include "tools/zintar-forward/ForwardOptions.h"
#include "util/win32/Event.h"
#include "util/win32/Service.h"

namespace ZintarForward {

// Forwards until `stopEvent` is set, resuming from the state file and saving to it.
void RunForwarder(const CheckedSettings& settings, HANDLE stopEvent, bool echoToConsole);

// The settings the service runs with, read from the registry and checked. Throws ExceptionBase.
CheckedSettings InstalledSettings();

// The diagnostic log beside the state file: ZintarForwardLog.txt.
std::string ForwardLogFile(const ForwardSettings& settings);

class ForwardService : public ZintarUtil::Services::Service {
public:
    static constexpr std::uint32_t kStopBudget = 15000;  // ms

    ForwardService();
    ~ForwardService() override;

    void OnStart() override;
    void OnStop() override;
    void StopWhatStillRuns() override;

private:
    class ForwardThread;
    std::unique_ptr<ForwardThread> thread;
    std::unique_ptr<ZintarUtil::Event> stopEvent;  // manual reset, set to stop the forwarder
};

}  // namespace ZintarForward
