// zintar-forward: the program. `run` forwards in the foreground until Ctrl-C; `install` and
// `remove` manage the service; `status` prints what the forwarder is doing; the service control
// manager starts it with `service`.
#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

#include "tools/zintar-forward/ForwardOptions.h"
#include "tools/zintar-forward/win32/ForwardService.h"
#include "tools/zintar-forward/win32/StateFolder.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/FolderAccess.h"
#include "util/TextHelpers.h"
#include "util/ToolFrame.h"
#include "util/ZintarNames.h"
#include "util/win32/Event.h"
#include "util/win32/ForwardSettingsStore.h"
#include "util/win32/ServiceDrive.h"
#include "util/win32/ServiceQuery.h"

using namespace ZintarForward;
using ZintarUtil::ForwardState;
using ZintarUtil::Exceptions::ExceptionBase;
using ZintarUtil::Exceptions::ExceptionWindows;
using ZintarUtil::Services::DriveOutcome;
using ZintarUtil::Services::ServiceQuery;
using ZintarUtil::Services::ServiceRequest;

namespace {

constexpr DWORD kServiceWaitMs = 30000;

// Closing the console window, logging off and shutting down end the process as soon as the
// handler returns (and at the latest after about 5 s): the handler waits this long for the
// forwarder, which stops within 2 s and saves its resume point last.
constexpr DWORD kConsoleEndWaitMs = 4000;

// `run`'s stop and the end of its forwarder. Never destroyed: the console's handler runs on a
// thread of its own and may still wait on them while the main thread returns.
ZintarUtil::Event* consoleStop = nullptr;
ZintarUtil::Event* forwarderEnded = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event)
{
    try {
        consoleStop->SetSignal();
        // Ctrl-C and Ctrl-Break: the forwarder ends itself, after saving its resume point.
        if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
            forwarderEnded->Wait(kConsoleEndWaitMs);
    } catch (const ExceptionBase&) {
        // Nothing to add: the process ends either way.
    }
    return TRUE;
}

std::string ExecutablePath()
{
    const std::string path = ZintarUtil::ExecutablePath();
    if (path.empty())
        throw ExceptionWindows("Failed to read the program's path");
    return path;
}

int RunInForeground(const ForwardSettings& typed)
{
    const ForwardSettings settings = PrepareRun(typed);
    const CheckedSettings checked = CheckSettings(settings);
    ZintarUtil::SetLogFile(ForwardLogFile(settings));
    consoleStop = ZintarUtil::NewUnsignalledEvent().release();
    forwarderEnded = ZintarUtil::NewUnsignalledEvent().release();
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    RunForwarder(checked, consoleStop->Handle(), true);
    forwarderEnded->SetSignal();
    return 0;
}

// Asks the service for `control` (0: start it) and waits, bounded, until it reports `wanted`; a
// service still starting or stopping is waited out first (ServiceDrive.h).
void DriveService(DWORD control, DWORD wanted)
{
    const DriveOutcome outcome = ZintarUtil::Services::DriveService(
        ZintarUtil::kForwardServiceName, control == 0 ? ServiceRequest::Start : ServiceRequest::Stop, kServiceWaitMs);
    if (outcome.end == DriveOutcome::End::StoppedAfterStart)
        throw ExceptionBase("The forwarder stopped right after its start (exit code " +
                            std::to_string(outcome.status.dwServiceSpecificExitCode) +
                            "): its diagnostic log says why");
    if (outcome.end != DriveOutcome::End::Reached || outcome.status.dwCurrentState != wanted)
        throw ExceptionBase("The forwarder did not reach the state it was asked for within 30 s");
}

// Everything that would fail at the service's start is refused here, before the service or its
// settings change: the paths are made full (the service starts in System32) and checked, the
// state folder is prepared, and the CA file and the client certificate are copied into it.
int Install(const ForwardSettings& typed)
{
    const ServiceQuery query = ZintarUtil::Services::QueryServiceState(ZintarUtil::kForwardServiceName);
    // A running forwarder stops first: it reads the new settings at its start, and its files are
    // not to change under it while the folder is taken over. A refusal starts it again as it was.
    const bool wasRunning = query.state == ServiceQuery::State::Running;
    if (query.state != ServiceQuery::State::NotInstalled)
        DriveService(SERVICE_CONTROL_STOP, SERVICE_STOPPED);
    std::vector<std::string> notes;
    ForwardSettings settings;
    try {
        settings = PrepareInstall(typed, notes);
    } catch (const ExceptionBase&) {
        if (wasRunning)
            DriveService(0, SERVICE_RUNNING);
        throw;
    }
    for (const std::string& note : notes)
        std::cerr << note << std::endl;
    ForwardService service;
    ZintarUtil::WriteForwardSettings(settings);
    if (query.state == ServiceQuery::State::NotInstalled) {
        service.SetExecutablePath(ExecutablePath(), "service");
        const std::string refused = service.Install();
        if (!refused.empty())
            std::cerr << refused << std::endl;
        std::cout << "Installed the service " << ZintarUtil::kForwardServiceName << " (\""
                  << ZintarUtil::kForwardServiceDisplayName << "\") as " << ZintarUtil::kForwardServiceAccount << "."
                  << std::endl;
    } else {
        // An earlier version installed it without its own SID, which the state folder now admits.
        const std::string refused = service.Reconfigure();
        if (!refused.empty())
            std::cerr << refused << std::endl;
        std::cout << "Replaced the settings of the service " << ZintarUtil::kForwardServiceName << "." << std::endl;
    }
    DriveService(0, SERVICE_RUNNING);
    std::cout << "Forwarding to " << settings.to << "; the resume point and the diagnostic log are in "
              << ZintarUtil::FolderOfFile(ZintarUtil::ForwardStatePath(settings)) << "." << std::endl;
    return 0;
}

int Remove()
{
    const ServiceQuery query = ZintarUtil::Services::QueryServiceState(ZintarUtil::kForwardServiceName);
    if (query.state == ServiceQuery::State::NotInstalled) {
        ZintarUtil::DeleteForwardSettings();
        std::cout << "The service " << ZintarUtil::kForwardServiceName << " is not installed." << std::endl;
        return 0;
    }
    if (query.state != ServiceQuery::State::Stopped)
        DriveService(SERVICE_CONTROL_STOP, SERVICE_STOPPED);
    ForwardService service;
    service.Remove();
    ZintarUtil::DeleteForwardSettings();
    std::cout << "Removed the service " << ZintarUtil::kForwardServiceName << "; " << ZintarUtil::ForwardStateFolder()
              << " keeps the resume point for a later install." << std::endl;
    return 0;
}

int Status(const std::string& stateFile)
{
    std::optional<ForwardSettings> settings = ZintarUtil::ReadForwardSettings();
    if (!stateFile.empty()) {
        settings = settings.value_or(ForwardSettings{});
        settings->stateFile = stateFile;
    }
    const ServiceQuery query = ZintarUtil::Services::QueryServiceState(ZintarUtil::kForwardServiceName);
    std::cout << "service        " << query.text << "\n";
    const ForwardSettings inUse = settings.value_or(ForwardSettings{});
    const std::string path = ZintarUtil::ForwardStatePath(inUse);
    const std::optional<ForwardState> state = ZintarUtil::ReadForwardStatus(path);
    const bool running = query.state == ServiceQuery::State::Running;
    if (state)
        std::cout << ZintarUtil::ForwardStatusText(*state, running) << "state file     " << path << "\n";
    else
        std::cout << "state file     " << path << " not written yet\n";
    std::cout << "diagnostic log " << ForwardLogFile(inUse) << "\n";
    if (!inUse.caFile.empty())
        std::cout << "CA file        " << inUse.caFile << "\n";
    if (!inUse.clientCertificate.empty())
        std::cout << "client cert    " << inUse.clientCertificate << "\n";
    std::cout << std::flush;
    return running ? 0 : 3;
}

int RunAsService()
{
    std::optional<ForwardSettings> settings;
    try {
        settings = ZintarUtil::ReadForwardSettings();
    } catch (const ExceptionBase&) {
        // The start reads them again and says what is wrong in the log.
    }
    ZintarUtil::SetLogFile(ForwardLogFile(settings.value_or(ForwardSettings{})));
    ForwardService service;
    ZintarUtil::Services::Service::SetActiveInstance(&service);
    service.RunAsService();
    ZintarUtil::Services::Service::SetActiveInstance(nullptr);
    return 0;
}

}  // namespace

// Every command's action.
int Run(const ForwardCommandLine& line)
{
    switch (line.command) {
    case Command::Run:
        return RunInForeground(line.settings);
    case Command::Install:
        return Install(line.settings);
    case Command::Remove:
        return Remove();
    case Command::Status:
        return Status(line.settings.stateFile);
    case Command::Service:
        return RunAsService();
    }
    return 0;
}

constexpr ZintarUtil::ToolFrame kTool{"zintar-forward", "Run 'zintar-forward --help' for the commands."};

int main(int argc, char** argv)
{
    return ZintarUtil::RunTool(kTool, argc, argv, ParseForwardCommandLine, Run);
}
