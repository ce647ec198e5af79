// zintarctl: the console client of the Tervan Log Server. Reads the shared log (read, follow) and
// controls the service over its pipes (status, settings, filters, logfile, write).
// Exit codes: 0 done; 1 a failure the user can fix (the message says what to do); 2 a usage error;
// `status` also 3 when the service does not run.
#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <iostream>
#include <string>
#include <vector>

#include "AutoHandle.h"
#include "CtlCommandLine.h"
#include "Exceptions.h"
#include "FollowPrinter.h"
#include "LogFileImage.h"
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

struct ServiceStatusSeen {
    ServiceState state;
    std::string text;
};

// What the service control manager says of the service.
ServiceStatusSeen QueryServiceState()
{
    using ZintarUtil::Services::ServiceHandle;
    const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.IsNull())
        return {ServiceState::Unknown, "unknown (the service control manager refused: error " + std::to_string(GetLastError()) + ")"};
    const ServiceHandle service(OpenServiceA(manager.Get(), ZintarUtil::kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (service.IsNull() && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST)
        return {ServiceState::NotInstalled, "not installed"};
    if (service.IsNull() || !QueryServiceStatus(service.Get(), &status))
        return {ServiceState::Unknown, "unknown (error " + std::to_string(GetLastError()) + ")"};
    switch (status.dwCurrentState) {
    case SERVICE_RUNNING:
        return {ServiceState::Running, "running"};
    case SERVICE_STOPPED:
        return {ServiceState::Stopped, "stopped"};
    case SERVICE_START_PENDING:
        return {ServiceState::Pending, "starting"};
    case SERVICE_STOP_PENDING:
        return {ServiceState::Pending, "stopping"};
    default:
        return {ServiceState::Pending, "state " + std::to_string(status.dwCurrentState)};
    }
}

ZintarUtil::TimeFields FieldsOf(const SYSTEMTIME& t)
{
    return {static_cast<std::int16_t>(t.wYear),   static_cast<std::int16_t>(t.wMonth),
            static_cast<std::int16_t>(t.wDay),    static_cast<std::int16_t>(t.wHour),
            static_cast<std::int16_t>(t.wMinute), static_cast<std::int16_t>(t.wSecond),
            static_cast<std::int16_t>(t.wMilliseconds), static_cast<std::int16_t>(t.wDayOfWeek)};
}

// The time now, in the zone times are shown and read in.
ZintarUtil::TimeFields Now(bool utc)
{
    SYSTEMTIME now;
    if (utc)
        GetSystemTime(&now);
    else
        GetLocalTime(&now);
    return FieldsOf(now);
}

// Messages carry local time; with --utc they are shown, and selected, in UTC.
void ToUtc(std::vector<ZintarUtil::MessageRecord>& records)
{
    for (ZintarUtil::MessageRecord& record : records) {
        ZintarUtil::TimeFields& t = record.message.timeStamp;
        const SYSTEMTIME local = {static_cast<WORD>(t.year),   static_cast<WORD>(t.month),  static_cast<WORD>(t.weekday),
                                  static_cast<WORD>(t.day),    static_cast<WORD>(t.hour),   static_cast<WORD>(t.minute),
                                  static_cast<WORD>(t.second), static_cast<WORD>(t.milliseconds)};
        SYSTEMTIME utc;
        if (TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc))
            t = FieldsOf(utc);
    }
}

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
    const ServiceStatusSeen seen = QueryServiceState();
    bool answered = false;
    std::cout << "service        " << seen.text << "\n";
    try {
        ServiceClient client(2000);
        client.Ping();
        answered = true;
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
    return StatusExitCode(seen.state, answered);
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

void PrintRecords(const std::vector<ZintarUtil::MessageRecord>& records, Format format, bool color)
{
    for (const ZintarUtil::MessageRecord& record : records)
        std::cout << MessageLine(record, format, color) << "\n";
    std::cout.flush();
}

// The whole file at `path`, opened read-only with every kind of sharing (read, write, delete) and
// closed again at once: it never holds up the service's restarts, resizes or moves, and is never
// mapped.
std::vector<unsigned char> ReadWholeFileShared(const std::string& path)
{
    ZintarUtil::AutoHandle file;
    file.Take(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (file.IsInvalid() || !GetFileSizeEx(file.Get(), &size))
        throw ZintarUtil::Exceptions::ExceptionWindows("Failed to open the log file " + path);
    std::vector<unsigned char> bytes(static_cast<std::size_t>(std::min<LONGLONG>(size.QuadPart, 0xFFFFFFFFLL)));
    DWORD read = 0;
    for (std::size_t at = 0; at < bytes.size(); at += read) {
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1u << 24));
        if (!ReadFile(file.Get(), bytes.data() + at, chunk, &read, nullptr))
            throw ZintarUtil::Exceptions::ExceptionWindows("Failed to read the log file " + path);
        if (read == 0) {
            bytes.resize(at);  // cut meanwhile
            break;
        }
    }
    return bytes;
}

// A log file from disk, judged as the service judges the files it opens.
ZintarUtil::LogImageContent ReadLogFile(const std::string& path)
{
    const std::vector<unsigned char> bytes = ReadWholeFileShared(path);
    ZintarUtil::LogImageContent content = ZintarUtil::ReadLogImage(bytes.data(), bytes.size());
    if (content.kind == ZintarUtil::LogImageContent::Kind::Foreign)
        throw ExceptionBase("The file " + path + " is not a log file of the " + ZintarUtil::kServiceDisplayName);
    if (content.kind == ZintarUtil::LogImageContent::Kind::Damaged)
        std::cerr << "zintarctl: " << path << " is damaged: shown are the " << content.newestFirst.size()
                  << " whole messages it holds; " << content.skipped << " slots were skipped\n";
    return content;
}

// Where the log stands on disk while the service is down: the file its LogFile setting names, or
// nothing when there is none that can be read.
ZintarUtil::FollowUpdate LogOnDisk()
{
    char path[1024] = {};
    DWORD size = sizeof path;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, ZintarUtil::kSettingsKeyPath, "LogFile", RRF_RT_REG_SZ, nullptr, path, &size) ==
        ERROR_SUCCESS) {
        try {
            const ZintarUtil::LogImageContent content = ReadLogFile(path);
            return WholeLog(content.header, content.newestFirst);
        } catch (const ExceptionBase&) {
        }
    }
    ZintarUtil::FollowUpdate nothing;
    nothing.restarted = true;
    return nothing;
}

void Read(const CtlCommand& c)
{
    const Selection selection = SelectionOf(c, Now(c.utc));
    // Without a selection, -n N copies just the newest N records.
    const bool selectsAll = !c.types && !c.since && !c.until && !c.textPrefix && !c.grep;
    ZintarUtil::LogSnapshot snapshot;
    if (c.file)
        snapshot.records = ReadLogFile(*c.file).newestFirst;
    else
        ZintarUtil::LogFileReader(ZintarUtil::kFileMapName).ReadSnapshot(snapshot, selectsAll ? c.last : std::nullopt);
    if (c.utc)
        ToUtc(snapshot.records);
    if (!HeaderLine(c.format).empty())
        std::cout << HeaderLine(c.format) << "\n";
    PrintRecords(Select(snapshot.records, selection, c.last), c.format, ColorOutput(c));
}

// Sleeps `milliseconds` in short steps; false once Ctrl-C was pressed.
bool Pause(std::uint32_t milliseconds)
{
    for (std::uint32_t waited = 0; waited < milliseconds && !interrupted; waited += kStopCheck)
        Sleep(std::min(kStopCheck, milliseconds - waited));
    return !interrupted;
}

// Follows a log file that is not being served by reading it again at each poll.
void FollowFile(const CtlCommand& c, FollowPrinter& printer, const std::function<void(const std::vector<ZintarUtil::MessageRecord>&)>& emit)
{
    ZintarUtil::LogFollower follower;
    bool started = false;
    do {
        const ZintarUtil::LogImageContent content = ReadLogFile(*c.file);
        ZintarUtil::FollowUpdate update =
            follower.Poll(content.header, [&](std::int32_t i) { return content.newestFirst.at(static_cast<std::size_t>(i)); });
        if (c.utc)
            ToUtc(update.messages);
        emit(started ? printer.Next(update) : printer.Start(update));
        started = true;
    } while (Pause(c.pollMs));
}

// Follows the log until Ctrl-C: first the newest -n messages stored (from the service's ring, or,
// while the service is down, from its file on disk), then each new one once. The mapping is let
// go as soon as the service stops (a client that kept it would keep a restarting service from
// resizing or reopening the file) and taken again when the service is back.
void Follow(const CtlCommand& c)
{
    const bool color = ColorOutput(c);
    std::optional<SyslogSender> syslog;
    if (c.syslog)
        syslog.emplace(*c.syslog);
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
    FollowPrinter printer(SelectionOf(c, Now(c.utc)), c.last.value_or(10));
    if (!HeaderLine(c.format).empty())
        std::cout << HeaderLine(c.format) << std::endl;
    auto emit = [&](const std::vector<ZintarUtil::MessageRecord>& records) {
        PrintRecords(records, c.format, color);
        for (const ZintarUtil::MessageRecord& record : records)
            if (syslog)
                syslog->Send(record);
    };
    if (c.file) {
        FollowFile(c, printer, emit);
        return;
    }
    ZintarUtil::LogFollower follower;
    bool started = false;
    while (!interrupted) {
        try {
            ZintarUtil::LogFileReader reader(ZintarUtil::kFileMapName);
            for (;;) {
                ZintarUtil::FollowUpdate update = reader.Follow(follower);
                if (c.utc)
                    ToUtc(update.messages);
                emit(started ? printer.Next(update) : printer.Start(update));
                started = true;
                if (interrupted || update.header.serverRunning == 0)
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
            if (!started) {
                ZintarUtil::FollowUpdate onDisk = LogOnDisk();
                if (c.utc)
                    ToUtc(onDisk.messages);
                emit(printer.Start(onDisk));
                started = true;
            }
        }
        Pause(1000);
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
        message.timeStamp = Now(false);
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
