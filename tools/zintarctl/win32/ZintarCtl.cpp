// zintarctl: the console client of the Tervan Log Server. Reads the shared log (read, follow) and
// controls the service over its pipes (status, settings, filters, logfile, write).
// Exit codes: 0 done; 1 a failure the user can fix (the message says what to do); 2 a usage error.
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <iostream>
#include <string>
#include <vector>

#include "CtlCommandLine.h"
#include "Exceptions.h"
#include "FollowDeduplicator.h"
#include "LogFileReader.h"
#include "MessageOutput.h"
#include "MessageSelection.h"
#include "Service.h"
#include "ServiceClient.h"
#include "SyslogSender.h"
#include "TextHelpers.h"

using ZintarClient::ServiceClient;
using ZintarUtil::Exceptions::ExceptionBase;

namespace ZintarCtl {

using ZintarUtil::UsageError;

namespace {

constexpr std::uint32_t kStopCheck = 50;  // ms between two looks at serverRunning while following
volatile bool interrupted = false;

BOOL WINAPI OnConsoleControl(DWORD)
{
    interrupted = true;
    return TRUE;
}

// What the service control manager says of the service.
std::string ServiceStateText()
{
    using ZintarUtil::Services::ServiceHandle;
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(
        manager.IsNull() ? nullptr : OpenServiceA(manager.Get(), ZintarUtil::kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (service.IsNull() || !QueryServiceStatus(service.Get(), &status))
        return "not installed";
    switch (status.dwCurrentState) {
    case SERVICE_RUNNING:
        return "running";
    case SERVICE_STOPPED:
        return "stopped";
    case SERVICE_START_PENDING:
        return "starting";
    case SERVICE_STOP_PENDING:
        return "stopping";
    default:
        return "state " + std::to_string(status.dwCurrentState);
    }
}

std::string TypesText(std::uint32_t mask)
{
    std::string text;
    for (int type = 0; type < 4; ++type)
        if (mask & (1u << type))
            text += (text.empty() ? "" : ",") + std::to_string(type);
    return text.empty() ? "none" : text;
}

void PrintSettings(const ZintarClient::Settings& s)
{
    std::cout << "max messages   " << s.maxMessage << "\n"
              << "poll rate      " << s.devicePollRate << " ms\n"
              << "save rate      " << s.saveRate << " s\n"
              << "types kept     " << TypesText(s.typeFilter) << "\n";
}

int Status()
{
    std::cout << "service        " << ServiceStateText() << "\n";
    try {
        ServiceClient client(2000);
        client.Ping();
        std::cout << "ping           answered\n";
        const ZintarClient::Settings settings = client.GetSettings();
        PrintSettings(settings);
        std::cout << "log file       " << client.GetLogFileName() << "\n";
        if (!settings.logFileInUse.empty()) {
            std::cout << "log file used  " << settings.logFileInUse;
            if (settings.logFileFallback)
                std::cout << "  (the default: the log file above could not be used; ZintarServiceLog.txt says why)";
            std::cout << "\n";
            std::cout << "device         " << (settings.deviceOpen ? "open" : "not open") << "\n";
        }
    } catch (const ExceptionBase&) {
        std::cout << "ping           no answer on " << ZintarUtil::kRequestPipeName << "\n";
    }
    try {
        ZintarUtil::LogFileReader reader(ZintarUtil::kFileMapName, 5000);
        const ZintarUtil::FileHeader h = reader.ReadSnapshot().header;
        std::cout << "capacity       " << h.capacity << "\n"
                  << "messages       " << h.messageCount << "\n"
                  << "generation     " << h.generation << "\n"
                  << "updates        " << h.updateCount << "\n"
                  << "readers        " << h.readCount << " (this one included)\n"
                  << "server running " << static_cast<int>(h.serverRunning) << "\n";
    } catch (const ExceptionBase&) {
        std::cout << "log file       not shared (the service is not running)\n";
    }
    return 0;
}

void SetSettings(const CtlCommand& c)
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
}

void PrintRecords(const std::vector<ZintarUtil::MessageRecord>& records, Format format)
{
    for (const ZintarUtil::MessageRecord& record : records)
        std::cout << MessageLine(record, format) << "\n";
    std::cout.flush();
}

void Read(const CtlCommand& c)
{
    const Selection selection = SelectionOf(c);
    // Without a selection, -n N copies just the newest N records.
    const bool selectsAll = !c.types && !c.since && !c.until && !c.textPrefix && !c.grep;
    ZintarUtil::LogSnapshot snapshot;
    ZintarUtil::LogFileReader(ZintarUtil::kFileMapName).ReadSnapshot(snapshot, selectsAll ? c.last : std::nullopt);
    if (!HeaderLine(c.format).empty())
        std::cout << HeaderLine(c.format) << "\n";
    PrintRecords(Select(snapshot.records, selection, c.last), c.format);
}

// Follows the log until Ctrl-C. The mapping is let go as soon as the service stops (a client that
// kept it would keep a restarting service from resizing or reopening the file) and taken again
// when the service is back; what was printed before is not printed again.
void Follow(const CtlCommand& c)
{
    const Selection selection = SelectionOf(c);
    std::optional<SyslogSender> syslog;
    if (c.syslog)
        syslog.emplace(*c.syslog);
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    ZintarUtil::LogFollower follower;
    FollowDeduplicator printed;
    bool first = true;
    if (!HeaderLine(c.format).empty())
        std::cout << HeaderLine(c.format) << std::endl;
    while (!interrupted) {
        try {
            ZintarUtil::LogFileReader reader(ZintarUtil::kFileMapName);
            for (;;) {
                const ZintarUtil::FollowUpdate update = reader.Follow(follower);
                const ZintarUtil::FileHeader& header = update.header;
                std::vector<ZintarUtil::MessageRecord> fresh;
                for (const ZintarUtil::MessageRecord& record : printed.Fresh(update, header.capacity))
                    if (Selects(selection, record.message))
                        fresh.push_back(record);
                if (!first) {  // what the log held before the follow began is not new
                    PrintRecords(fresh, c.format);
                    for (const ZintarUtil::MessageRecord& record : fresh)
                        if (syslog)
                            syslog->Send(record);
                }
                first = false;
                if (interrupted || header.serverRunning == 0)
                    break;
                // Between polls the mapping is let go as soon as the service stops, whatever the
                // poll interval: a restart must not wait for this client.
                bool running = true;
                for (std::uint32_t waited = 0; waited < c.pollMs && running && !interrupted; waited += kStopCheck) {
                    Sleep(std::min(kStopCheck, c.pollMs - waited));
                    running = reader.ServerRunning();
                }
                if (!running)
                    break;
            }
        } catch (const ExceptionBase&) {
            // Not shared now: the service is stopping, restarting or not running.
        }
        for (std::uint32_t waited = 0; waited < 1000 && !interrupted; waited += 50)
            Sleep(50);
    }
}

int Run(const CtlCommand& c)
{
    switch (c.verb) {
    case Verb::Status:
        return Status();
    case Verb::SettingsGet:
        PrintSettings(ServiceClient().GetSettings());
        return 0;
    case Verb::SettingsSet:
        SetSettings(c);
        return 0;
    case Verb::FiltersList:
        for (const ZintarClient::Filter& filter : ServiceClient().ListFilters())
            std::cout << (filter.include ? "include  " : "exclude  ") << filter.text << "\n";
        return 0;
    case Verb::FiltersAdd:
        ServiceClient().AddFilter({c.text, c.include});
        return 0;
    case Verb::FiltersClear:
        ServiceClient().ClearFilters();
        return 0;
    case Verb::LogFileGet:
        std::cout << ServiceClient().GetLogFileName() << "\n";
        return 0;
    case Verb::LogFileSet:
        ServiceClient().SetLogFileName(c.text);
        std::cout << "the log file moves there when the service next stops\n";
        return 0;
    case Verb::LogFileDefault:
        std::cout << ServiceClient().GetDefaultLogFileName() << "\n";
        return 0;
    case Verb::Write: {
        ZintarUtil::LogMessage message{};
        SYSTEMTIME now;
        GetLocalTime(&now);
        message.timeStamp = {static_cast<std::int16_t>(now.wYear),   static_cast<std::int16_t>(now.wMonth),
                             static_cast<std::int16_t>(now.wDay),    static_cast<std::int16_t>(now.wHour),
                             static_cast<std::int16_t>(now.wMinute), static_cast<std::int16_t>(now.wSecond),
                             static_cast<std::int16_t>(now.wMilliseconds), static_cast<std::int16_t>(now.wDayOfWeek)};
        message.type = c.type;
        std::memcpy(message.text, c.text.data(), c.text.size());
        std::memcpy(message.auxText, c.auxText.data(), c.auxText.size());
        ServiceClient().WriteMessage(message);
        return 0;
    }
    case Verb::Read:
        Read(c);
        return 0;
    case Verb::Follow:
        Follow(c);
        return 0;
    }
    return 0;
}

// What the user can do about a failure, after what went wrong.
std::string HintFor(const ExceptionBase& e)
{
    const std::string text = e.GetFullMessage("\n");
    if (text.find("service's pipe") != std::string::npos)
        return std::string("Is the service running? 'sc query ") + ZintarUtil::kServiceName + "' tells; 'sc start " +
               ZintarUtil::kServiceName + "' starts it.";
    if (text.find("needs an administrator") != std::string::npos)
        return "Run zintarctl from an elevated console (Run as administrator); an administrator can also let every "
               "local user change them (the registry value AnyUserMayChange, see the README).";
    if (text.find("log file's mapping") != std::string::npos)
        return std::string("The service shares its log only while it runs: 'sc start ") + ZintarUtil::kServiceName +
               "' starts it.";
    return "";
}

}  // namespace

int RunCommandLine(int argc, char** argv)
{
    std::string help;
    std::optional<CtlCommand> command;
    try {
        command = ParseCtlCommand(std::vector<std::string>(argv + 1, argv + argc), help);
    } catch (const UsageError& e) {
        std::cerr << "zintarctl: " << e.what() << "\nRun 'zintarctl --help' for the commands and their options.\n";
        return 2;
    }
    if (!command) {
        std::cout << help;
        return 0;
    }
    try {
        return Run(*command);
    } catch (const UsageError& e) {
        std::cerr << "zintarctl: " << e.what() << "\n";
        return 2;
    } catch (const ExceptionBase& e) {
        std::string message = e.GetFullMessage("\n");
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
            message.pop_back();
        std::cerr << "zintarctl: " << message << "\n";
        const std::string hint = HintFor(e);
        if (!hint.empty())
            std::cerr << hint << "\n";
        return 1;
    }
}

}  // namespace ZintarCtl

int main(int argc, char** argv)
{
    return ZintarCtl::RunCommandLine(argc, argv);
}
