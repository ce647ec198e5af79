// The forwarder's engine on Windows: the service's ring through the reader protocol every client
// uses, Winsock and SChannel to the collector, the state file replaced atomically, the diagnostic
// log (and the console for `run`), and a stop event that every wait watches (StopLimit).
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "tools/zintar-forward/ForwardOptions.h"
#include "tools/zintar-forward/Forwarder.h"
#include "tools/zintar-forward/win32/SocketConnection.h"
#include "util/win32/SharedLog.h"

namespace ZintarForward {

class WindowsForwarderPlatform : public ForwarderPlatform {
public:
    // `stopEvent` (manual reset) is set to stop; it outlives this object.
    WindowsForwarderPlatform(const CheckedSettings& settings, std::string statePath, HANDLE stopEvent,
                             bool echoToConsole);

    std::uint64_t NowMs() override;
    ZintarUtil::TimeFields LocalTime() override;
    ZintarUtil::SyslogOrigin Origin() override;
    bool
    ReadRing(const std::function<void(const ZintarUtil::FileHeader&, const ZintarUtil::NewestRecord&)>& read) override;
    std::unique_ptr<Connection> Connect() override;
    void SaveState(const ForwardState& state) override;
    void Log(const std::string& line) override;
    bool WaitForStop(std::uint32_t ms) override;
    bool StopRequested() override;

private:
    CheckedSettings settings;
    std::string statePath;
    HANDLE stopEvent;
    std::shared_ptr<StopLimit> stop;  // every wait of the connections watches it
    bool echoToConsole;
    ZintarUtil::SharedLog log;
    std::optional<ZintarUtil::SyslogOrigin> origin;
    std::uint64_t originAt = 0;
    bool statusCopyFailed = false;  // said once in the log until a copy is written again
};

}  // namespace ZintarForward
