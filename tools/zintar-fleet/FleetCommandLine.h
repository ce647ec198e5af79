// The command line of zintar-fleet, the collector's own program: which verb to run and with what,
// checked before the database is reached. Parsed with CLI11; every verb has --help. Exit codes as
// the other tools: 0 done, 1 failed, 2 a command line that cannot be carried out.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "util/UsageError.h"

namespace ZintarFleet {

enum class FleetVerb { Ingest, Retention };

struct FleetCommand {
    FleetVerb verb = FleetVerb::Ingest;
    std::string db;  // conninfo or URI; "" takes the PG* variables
    // retention
    std::chrono::seconds keep{0};
    bool dryRun = false;
    // ingest: the folder of the loader's journal (the records answered and not yet stored)
    std::string journal = "/var/spool/rsyslog-zintar/loader";
};

// The command `args` ask for (without the program's name), or nothing when help was asked for and
// printed to `help`. Throws ZintarUtil::UsageError.
std::optional<FleetCommand> ParseFleetCommand(const std::vector<std::string>& args, std::string& help);

// "90s", "15m", "12h", "30d", "4w": a whole number and its unit. Nothing for anything else, a zero,
// or more than 100 years.
std::optional<std::chrono::seconds> ParseDuration(const std::string& text);

}  // namespace ZintarFleet
