// zintarctl: the console client of the Tervan Log Server. Reads the shared log (read, follow, and
// web, a live page in the browser) and controls the service over its pipes (status, settings,
// filters, logfile, write).
// Exit codes: 0 done; 1 a failure the user can fix (the message says what to do); 2 a usage error;
// `status` also 3 when the service does not run.
#include <winsock2.h>

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "client/win32/ServiceClient.h"
#include "tools/zintarctl/CtlCommandLine.h"
#include "tools/zintarctl/MessageOutput.h"
#include "tools/zintarctl/WebServer.h"
#include "tools/zintarctl/win32/LogAccess.h"
#include "tools/zintarctl/win32/LogWatch.h"
#include "tools/zintarctl/win32/ServiceLogSource.h"
#include "tools/zintarctl/win32/ServiceStatus.h"
#include "tools/zintarctl/win32/SyslogSender.h"
#include "util/Exceptions.h"
#include "util/ToolFrame.h"
#include "util/win32/ConsoleInterrupt.h"

using ZintarClient::ServiceClient;
using ZintarUtil::Exceptions::ExceptionBase;
using ZintarUtil::Exceptions::FailureKind;

namespace ZintarCtl {

using ZintarUtil::ConsoleInterrupt;

namespace {

constexpr std::uint32_t kStopCheck = 50;  // ms between two looks at serverRunning while following

// Colour only where asked for and understood: a console, whose escape sequences are switched on.
bool ColorOutput(const CtlCommand& c)
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const bool console = GetConsoleMode(out, &mode) != 0;
    if (c.format != Format::Text || !UseColor(c.color, console, std::getenv("NO_COLOR")))
        return false;
    if (console)
        SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    return true;
}

int ShowStatus(const CtlCommand&)
{
    const StatusReport report = GatherStatus();
    std::cout << StatusText(report);
    return StatusExitCode(report.state, report.answered);
}

int ShowSettings(const CtlCommand&)
{
    std::cout << SettingsText(ServiceClient().GetSettings());
    return 0;
}

int ChangeSettings(const CtlCommand& c)
{
    ServiceClient client;
    // Read, change what was given, send back: the request and the reply share one layout.
    ZintarClient::Settings settings = client.GetSettings();
    settings.maxMessage = c.maxMessage.value_or(settings.maxMessage);
    settings.devicePollRate = c.devicePollRate.value_or(settings.devicePollRate);
    settings.saveRate = c.saveRate.value_or(settings.saveRate);
    settings.typeFilter = c.typeFilter.value_or(settings.typeFilter);
    client.SetSettings(settings);
    std::cout << "settings sent; the service restarts in a second to apply them\n";
    return 0;
}

int ListFilters(const CtlCommand&)
{
    for (const ZintarClient::Filter& filter : ServiceClient().ListFilters())
        std::cout << (filter.include ? "include  " : "exclude  ") << filter.text << "\n";
    return 0;
}

int AddFilter(const CtlCommand& c)
{
    ServiceClient().AddFilter({c.text, c.include});
    return 0;
}

int ClearFilters(const CtlCommand&)
{
    ServiceClient().ClearFilters();
    return 0;
}

int ShowLogFile(const CtlCommand&)
{
    std::cout << ServiceClient().GetLogFileName() << "\n";
    return 0;
}

int MoveLogFile(const CtlCommand& c)
{
    ServiceClient().SetLogFileName(c.text);
    std::cout << "the log file moves there when the service next stops\n";
    return 0;
}

int ShowDefaultLogFile(const CtlCommand&)
{
    std::cout << ServiceClient().GetDefaultLogFileName() << "\n";
    return 0;
}

int WriteMessage(const CtlCommand& c)
{
    ZintarUtil::LogMessage message{};
    message.timeStamp = Now(false);
    message.type = c.type;
    std::memcpy(message.text, c.text.data(), c.text.size());
    std::memcpy(message.auxText, c.auxText.data(), c.auxText.size());
    ServiceClient().WriteMessage(message);
    return 0;
}

void PrintRecords(const std::vector<ZintarUtil::MessageRecord>& records, Format format, bool color)
{
    for (const ZintarUtil::MessageRecord& record : records)
        std::cout << MessageLine(record, format, color) << "\n";
    std::cout.flush();
}

int Read(const CtlCommand& c)
{
    const std::vector<ZintarUtil::MessageRecord> records = ReadSelected(c);
    if (!HeaderLine(c.format).empty())
        std::cout << HeaderLine(c.format) << "\n";
    PrintRecords(records, c.format, ColorOutput(c));
    return 0;
}

// Follows the log until Ctrl-C: first the newest -n messages stored (from the service's ring, or,
// while the service is down, from its file on disk), then each new one once.
int Follow(const CtlCommand& c)
{
    const bool color = ColorOutput(c);
    std::optional<SyslogSender> syslog;
    if (c.syslog)
        syslog.emplace(*c.syslog);
    const ConsoleInterrupt interrupt;
    LogWatch watch(c);
    if (!HeaderLine(c.format).empty())
        std::cout << HeaderLine(c.format) << std::endl;
    while (!interrupt.Interrupted()) {
        const std::vector<ZintarUtil::MessageRecord> records = watch.Poll();
        PrintRecords(records, c.format, color);
        for (const ZintarUtil::MessageRecord& record : records)
            if (syslog)
                syslog->Send(record, watch.Generation());
        // Between polls the mapping is let go as soon as the service stops, whatever the poll
        // interval: a restart must not wait for this client.
        for (std::uint32_t waited = 0; waited < c.pollMs; waited += kStopCheck) {
            if (interrupt.Wait(std::min(kStopCheck, c.pollMs - waited)))
                break;
            watch.LetGoIfStopped();
        }
    }
    return 0;
}

// Serves the live page until Ctrl-C.
int Web(const CtlCommand& c)
{
    ServiceLogSource source(c.file, c.utc);
    WebServer server(source, ParseListenAddress(c.listen));
    const ConsoleInterrupt interrupt([&server] { server.Stop(); });
    std::cout << "zintarctl web: " << source.Name() << " at " << server.Url() << " (Ctrl-C ends it)" << std::endl;
    if (c.openBrowser)
        ShellExecuteA(nullptr, "open", server.Url().c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    server.Run();
    return 0;
}

// Every verb's action.
int Run(const CtlCommand& c)
{
    switch (c.verb) {
    case Verb::Status:
        return ShowStatus(c);
    case Verb::SettingsGet:
        return ShowSettings(c);
    case Verb::SettingsSet:
        return ChangeSettings(c);
    case Verb::FiltersList:
        return ListFilters(c);
    case Verb::FiltersAdd:
        return AddFilter(c);
    case Verb::FiltersClear:
        return ClearFilters(c);
    case Verb::LogFileGet:
        return ShowLogFile(c);
    case Verb::LogFileSet:
        return MoveLogFile(c);
    case Verb::LogFileDefault:
        return ShowDefaultLogFile(c);
    case Verb::Write:
        return WriteMessage(c);
    case Verb::Read:
        return Read(c);
    case Verb::Follow:
        return Follow(c);
    case Verb::Web:
        return Web(c);
    }
    return 0;
}

// What the user can do about a failure, after what went wrong.
std::string HintFor(const ExceptionBase& e)
{
    switch (e.Kind()) {
    case FailureKind::ServiceUnreachable:
        return std::string("Is the service running? 'sc query ") + ZintarUtil::kServiceName + "' tells; 'sc start " +
               ZintarUtil::kServiceName + "' starts it.";
    case FailureKind::NeedsAdministrator:
        return "Run zintarctl from an elevated console (Run as administrator); an administrator can also let every "
               "local user change them (the registry value AnyUserMayChange, see the README).";
    case FailureKind::LogNotShared:
        return std::string("The service shares its log only while it runs: 'sc start ") + ZintarUtil::kServiceName +
               "' starts it.";
    case FailureKind::Unspecified:
        break;
    }
    return "";
}

constexpr ZintarUtil::ToolFrame kTool{"zintarctl", "Run 'zintarctl --help' for the commands and their options.",
                                      HintFor};

}  // namespace

}  // namespace ZintarCtl

int main(int argc, char** argv)
{
    return ZintarUtil::RunTool(ZintarCtl::kTool, argc, argv, ZintarCtl::ParseCtlCommand, ZintarCtl::Run);
}
