// The command line of zintar-fleet, the collector's own program: which verb to run and with what,
// checked before the database is reached. Parsed with CLI11; every verb has --help. Exit codes as
// the other tools: 0 done, 1 failed, 2 a command line that cannot be carried out.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/UsageError.h"

namespace ZintarFleet {

enum class FleetVerb { Ingest, Retention, Hosts, Read, Follow, Check, Web, AddUser };

// How the reading verbs print: zintarctl's aligned line with a host column, one JSON object a
// line, or CSV with a header.
enum class FleetFormat { Short, Json, Csv };

struct FleetCommand {
    FleetVerb verb = FleetVerb::Ingest;
    std::string db;  // conninfo or URI; "" takes the PG* variables
    // retention
    std::chrono::seconds keep{0};
    bool dryRun = false;
    // ingest: rsyslog's spool of records
    std::string spool = "/var/spool/rsyslog-zintar/records";
    // read and follow: names and patterns (with * or ?) of hosts, any of which selects a message
    std::vector<std::string> hosts;
    std::optional<std::string> since, until, grep;
    std::uint32_t types = 0xF;          // bit i selects type i
    std::optional<std::uint32_t> last;  // read -n: the newest N; follow -n: N printed first (10)
    FleetFormat format = FleetFormat::Short;
    bool utc = false;  // times printed and read in UTC instead of local time
    // hosts and check
    std::chrono::seconds quietAfter{15 * 60};
    // check: messages lost in 24 h beyond which it is critical; the collector's lag beyond which
    // it is critical
    std::uint64_t maxGap = 0;
    std::chrono::seconds maxLag{15 * 60};
    // web: where it listens; beyond loopback its certificate, key and users
    std::string listen = "127.0.0.1:8090";
    std::optional<std::string> cert, key;
    // web and adduser: the file of users and their password hashes; adduser: whom to add
    std::string users = "/etc/zintar-collector/web-users";
    std::string userName;
};

// The command `args` ask for (without the program's name), or nothing when help was asked for and
// printed to `help`. Throws ZintarUtil::UsageError.
std::optional<FleetCommand> ParseFleetCommand(const std::vector<std::string>& args, std::string& help);

// "90s", "15m", "12h", "30d", "4w": a whole number and its unit. Nothing for anything else, a zero,
// or more than 100 years.
std::optional<std::chrono::seconds> ParseDuration(const std::string& text);

}  // namespace ZintarFleet
