// zintar-fleet: the program of the collector machine. `ingest` is the loader, a service that stores
// the records rsyslog writes into its spool in PostgreSQL in batches; `retention` drops old days;
// `hosts`, `read`, `follow`, `check` and `web` (the page) read what the fleet sent, as
// zintar_reader; `adduser` adds a user of the page.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "tools/zintar-fleet/Database.h"
#include "tools/zintar-fleet/FleetCommandLine.h"
#include "tools/zintar-fleet/FleetReader.h"
#include "tools/zintar-fleet/MessageStore.h"
#include "tools/zintar-fleet/SpoolLoader.h"
#ifdef ZINTAR_FLEET_WEB
#include "tools/zintar-fleet/FleetWeb.h"
#endif

namespace ZintarFleet {

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// What one question of the reading verbs may take before the server ends it.
constexpr std::chrono::seconds kStatementTimeout{30};

// The loader's diagnostic lines go to standard error (the service's journal, or the file it is sent
// to): a UTC time stamp, then the text.
void Diagnostic(const std::string& text)
{
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string line = text;  // one line a entry: libpq's messages have line breaks of their own
    for (char& c : line)
        if (c == '\n' || c == '\t')
            c = ' ';
    std::fprintf(stderr, "%s zintar-fleet ingest[%d]: %s\n", stamp, static_cast<int>(getpid()), line.c_str());
    std::fflush(stderr);
}

int Retention(const FleetCommand& command)
{
    Database db(command.db, "zintar-fleet retention");
    const std::string interval = std::to_string(command.keep.count()) + " seconds";
    db.Execute("BEGIN");
    const Rows dropped = db.Query("drop",
                                  "SELECT zintar_drop_before(now() - $1::interval), "
                                  "to_char((now() - $1::interval) AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI') || ' UTC'",
                                  {interval});
    db.Execute(command.dryRun ? "ROLLBACK" : "COMMIT");
    std::cout << (command.dryRun ? "would drop " : "dropped ") << dropped.Text(0, 0) << " messages older than "
              << dropped.Text(0, 1) << " (whole days)\n";
    return 0;
}

// Ctrl-C and SIGTERM end `follow` between two looks at the store: the handler writes a byte into
// a pipe that the wait between looks watches, so nothing is shared with the handler but the pipe.
int stopPipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(stopPipe[1], &byte, 1);
    errno = saved;
}

void CatchStopSignals()
{
    if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw ZintarUtil::Exceptions::ExceptionBase("Failed to make the pipe that Ctrl-C is noticed through");
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// Waits the poll interval; false when a stop signal came.
bool WaitForNextLook()
{
    constexpr int kPollMs = 250;
    pollfd stop{stopPipe[0], POLLIN, 0};
    return poll(&stop, 1, kPollMs) == 0;
}

// Waits `ms` milliseconds; false when a stop signal came.
bool WaitOrStop(int ms)
{
    pollfd stop{stopPipe[0], POLLIN, 0};
    return poll(&stop, 1, ms) == 0;
}

// Stores rsyslog's spool until SIGTERM or Ctrl-C, looking again at once while there is more, every
// 100 ms when there is not. While the database cannot store, it tries again after 1 s, doubling up
// to 5 s (a database back is used within seconds), saying so once, and once more when it stores
// again: the records wait in the spool.
int Ingest(const FleetCommand& command)
{
    CatchStopSignals();
    MessageStore store(command.db, Diagnostic);
    SpoolLoader loader(command.spool, store, Diagnostic);
    int failures = 0;
    for (;;) {
        int waitMs = 100;
        try {
            if (loader.Step()) {
                waitMs = 0;
                if (failures > 0)
                    Diagnostic("Storing again, after " + std::to_string(failures) + " failed attempts");
                failures = 0;
            }
        } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
            if (failures++ == 0)
                Diagnostic(e.GetFullMessage(": ") + "; the records wait in the spool " + command.spool);
            waitMs = std::min(1000 << std::min(failures - 1, 3), 5000);
        }
        if (!WaitOrStop(waitMs))
            return 0;
    }
}

int Follow(const FleetCommand& command)
{
    CatchStopSignals();
    return RunFollow(command.db, command, std::cout, WaitForNextLook);
}

int Check(const FleetCommand& command)
{
    const CheckResult result = RunCheck(command);
    std::cout << result.line << '\n';
    return result.exitCode;
}

#ifdef ZINTAR_FLEET_WEB
// The page until Ctrl-C or SIGTERM: a thread waits on the stop pipe and stops the server.
int Web(const FleetCommand& command)
{
    WebOptions options;
    options.db = command.db;
    options.listen = ZintarHttp::ParseListenAddress(command.listen);
    options.quietAfter = command.quietAfter;
    if (command.cert)
        options.tls = ZintarHttp::TlsFiles{*command.cert, *command.key};
    // No login over plain HTTP: beyond loopback the page is HTTPS with users, or it does not start.
    if (options.tls && !RefusalOf(options).empty())
        options.users = UserFile::Load(command.users);
    if (const std::string refusal = RefusalOf(options); !refusal.empty())
        throw ZintarUtil::UsageError(refusal);
    CatchStopSignals();
    FleetWeb web(options);
    std::cout << "zintar-fleet web: " << web.Url()
              << (options.users ? " (log in as a user of " + command.users + ")" : "") << std::endl;
    std::thread stopper([&web] {
        pollfd stop{stopPipe[0], POLLIN, 0};
        while (poll(&stop, 1, -1) < 0 && errno == EINTR) {
        }
        web.Stop();
    });
    web.Run();
    OnStopSignal(0);  // the stopper ends too when the server stopped for another reason
    stopper.join();
    return 0;
}

int AddUser(const FleetCommand& command)
{
    const std::string password = ReadPassword("Password for " + command.userName + ": ");
    if (isatty(STDIN_FILENO) && ReadPassword("The same again: ") != password)
        throw ZintarUtil::UsageError("the two passwords differ; nothing was changed");
    UserFile::Add(command.users, command.userName, password);
    std::cout << "zintar-fleet: " << command.userName << " can log in to the page (" << command.users << ")\n";
    return 0;
}
#endif

int Run(const std::vector<std::string>& args)
{
    std::string help;
    std::optional<FleetCommand> command;
    try {
        command = ParseFleetCommand(args, help);
    } catch (const ZintarUtil::UsageError& e) {
        std::cerr << "zintar-fleet: " << e.what() << "\n(zintar-fleet --help lists the verbs)\n";
        return kExitUsage;
    }
    if (!command) {
        std::cout << help;
        return 0;
    }
    try {
        switch (command->verb) {
        case FleetVerb::Ingest:
            return Ingest(*command);
        case FleetVerb::Retention:
            return Retention(*command);
        case FleetVerb::Hosts:
            return RunHosts(*ConnectReader(command->db, kStatementTimeout), *command, std::cout);
        case FleetVerb::Read:
            return RunRead(*ConnectReader(command->db, kStatementTimeout), *command, std::cout);
        case FleetVerb::Follow:
            return Follow(*command);
        case FleetVerb::Check:
            return Check(*command);
        case FleetVerb::Web:
        case FleetVerb::AddUser:
#ifdef ZINTAR_FLEET_WEB
            return command->verb == FleetVerb::Web ? Web(*command) : AddUser(*command);
#else
            std::cerr << "zintar-fleet: the page was not built into this program (libsodium-dev was missing)\n";
            return kExitFailure;
#endif
        }
    } catch (const ZintarUtil::UsageError& e) {
        std::cerr << "zintar-fleet: " << e.what() << '\n';
        return kExitUsage;
    } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
        std::cerr << "zintar-fleet: " << e.GetFullMessage(": ") << '\n';
    }
    return kExitFailure;
}

}  // namespace

}  // namespace ZintarFleet

int main(int argc, char** argv)
{
    return ZintarFleet::Run(std::vector<std::string>(argv + 1, argv + argc));
}
