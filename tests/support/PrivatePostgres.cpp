#include "tests/support/PrivatePostgres.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <glob.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace ZintarTest {

namespace {

namespace fs = std::filesystem;

constexpr const char* kProgramBound = "120";  // seconds for initdb and pg_ctl, whatever they wait for
constexpr int kEndBoundMs = 30000;

// The newest installed server's bin folder, or "".
std::string ServerBinDir()
{
    glob_t found{};
    std::string newest;
    if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) == 0) {
        std::vector<std::string> paths(found.gl_pathv, found.gl_pathv + found.gl_pathc);
        std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
            return std::atoi(a.c_str() + 20) < std::atoi(b.c_str() + 20);  // after "/usr/lib/postgresql/"
        });
        newest = fs::path(paths.back()).parent_path().string();
    }
    globfree(&found);
    return newest;
}

bool IsRoot()
{
    return geteuid() == 0;
}

std::string Tail(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

// Runs `args` (as postgres when root) within kProgramBound seconds, its output appended to `log`.
// The exit code, or -1 when it could not be started.
int RunBounded(std::vector<std::string> args, const std::string& log)
{
    std::vector<std::string> line = {"timeout", "-k", "5", kProgramBound};
    if (IsRoot())
        line.insert(line.end(), {"runuser", "-u", "postgres", "--"});
    line.insert(line.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : line)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    pid_t child = 0;
    const int started = posix_spawnp(&child, "timeout", &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    if (started != 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int FreePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(s);
    return port;
}

// Whether process `pid` (not necessarily a child) ended within `ms`: a pidfd turns readable then.
bool EndedWithin(int pid, int ms)
{
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return errno == ESRCH;
    pollfd wait{fd, POLLIN, 0};
    const bool ended = poll(&wait, 1, ms) == 1;
    close(fd);
    return ended;
}

struct ConnectionCloser {
    void operator()(PGconn* c) const { PQfinish(c); }
};

}  // namespace

bool PrivatePostgres::Available()
{
    return !ServerBinDir().empty();
}

PrivatePostgres::PrivatePostgres() : binDir(ServerBinDir())
{
    if (binDir.empty())
        throw std::runtime_error("no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb)");
    std::string pattern = (fs::temp_directory_path() / "zintar-pg-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot make a temporary folder for PostgreSQL");
    folder = pattern;
    const fs::path run = fs::path(folder) / "run";  // the server's: its data, socket and log
    fs::create_directory(run);
    data = (run / "data").string();
    if (IsRoot()) {
        const passwd* postgres = getpwnam("postgres");
        if (!postgres || chown(run.c_str(), postgres->pw_uid, postgres->pw_gid) != 0)
            throw std::runtime_error("as root, PostgreSQL runs as the postgres account, which is missing");
        fs::permissions(folder, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    }
    const std::string log = folder + "/commands.log";
    if (RunBounded(
            {binDir + "/initdb", "-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8", "--locale=C", "--no-sync"},
            log) != 0)
        throw std::runtime_error("initdb failed: " + Tail(log));
    StartServer(0);
    std::string schema;
    {
        std::ifstream in(ZINTAR_COLLECTOR_SCHEMA);
        std::stringstream all;
        all << in.rdbuf();
        schema = all.str();
    }
    if (schema.empty())
        throw std::runtime_error(std::string("cannot read ") + ZINTAR_COLLECTOR_SCHEMA);
    std::unique_ptr<PGconn, ConnectionCloser> admin(
        PQconnectdb(("host=127.0.0.1 port=" + std::to_string(port) + " dbname=postgres user=postgres").c_str()));
    PGresult* made = PQexec(admin.get(), "CREATE DATABASE zintar");
    const bool ok = PQresultStatus(made) == PGRES_COMMAND_OK;
    PQclear(made);
    if (!ok)
        throw std::runtime_error("CREATE DATABASE zintar failed: " + std::string(PQerrorMessage(admin.get())));
    Execute("SET client_min_messages = warning;\n" + schema);
}

PrivatePostgres::~PrivatePostgres()
{
    Stop();
    std::error_code ignored;
    if (!folder.empty())
        fs::remove_all(folder, ignored);
}

// On `wanted`, or on a free port when it is 0 (tried three times: another program may take it first).
void PrivatePostgres::StartServer(int wanted)
{
    const std::string run = fs::path(data).parent_path().string();
    for (int attempt = 0; attempt < (wanted ? 1 : 3); ++attempt) {
        port = wanted ? wanted : FreePort();
        const std::string options =
            "-p " + std::to_string(port) + " -k " + run + " -c listen_addresses=127.0.0.1 -c fsync=off";
        if (RunBounded(
                {binDir + "/pg_ctl", "-D", data, "-l", run + "/server.log", "-w", "-t", "60", "-o", options, "start"},
                folder + "/commands.log") == 0) {
            std::ifstream pidFile(data + "/postmaster.pid");
            pidFile >> postmasterPid;
            return;
        }
    }
    throw std::runtime_error("PostgreSQL did not start: " + Tail(run + "/server.log"));
}

std::string PrivatePostgres::Conninfo(const std::string& user) const
{
    return "host=127.0.0.1 port=" + std::to_string(port) + " dbname=zintar user=" + user;
}

std::string PrivatePostgres::Execute(const std::string& sql) const
{
    std::unique_ptr<PGconn, ConnectionCloser> admin(PQconnectdb(Conninfo("postgres").c_str()));
    if (PQstatus(admin.get()) != CONNECTION_OK)
        throw std::runtime_error("cannot connect to the private PostgreSQL: " +
                                 std::string(PQerrorMessage(admin.get())));
    PGresult* result = PQexec(admin.get(), sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    std::string value;
    if (status == PGRES_TUPLES_OK && PQntuples(result) > 0 && PQnfields(result) > 0)
        value = PQgetvalue(result, 0, 0);
    const std::string error = PQresultErrorMessage(result);
    PQclear(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error("SQL failed: " + error + "in: " + sql.substr(0, 200));
    return value;
}

void PrivatePostgres::Stop()
{
    if (postmasterPid == 0)
        return;
    RunBounded({binDir + "/pg_ctl", "-D", data, "-m", "immediate", "-w", "-t", "30", "stop"}, folder + "/commands.log");
    if (!EndedWithin(postmasterPid, kEndBoundMs)) {
        kill(postmasterPid, SIGKILL);
        EndedWithin(postmasterPid, kEndBoundMs);
    }
    postmasterPid = 0;
}

void PrivatePostgres::Restart()
{
    Stop();
    StartServer(port);
}

}  // namespace ZintarTest
