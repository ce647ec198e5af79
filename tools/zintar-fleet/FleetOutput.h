// How the reading verbs print: a message or gap of the fleet in zintarctl's shapes (util/
// MessageLines.h) with a host column, and the fleet's hosts as a table, JSON lines or CSV. Times
// are shown in local time, or UTC with --utc, as zintarctl shows them.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/zintar-fleet/FleetCommandLine.h"
#include "tools/zintar-fleet/FleetHealth.h"
#include "util/LogFileFormat.h"

namespace ZintarFleet {

// Milliseconds since 1970 UTC and the fields of that time in local time or UTC.
std::int64_t EpochMsOf(const ZintarUtil::TimeFields& time, bool utc);
ZintarUtil::TimeFields FieldsOfEpochMs(std::int64_t ms, bool utc);

// One row of read or follow: a message, or a gap (`lost` messages of `generation` overwritten on
// the machine before they could be sent).
struct FleetRow {
    std::int64_t timeMs = 0;
    std::string host;
    bool gap = false;
    int type = 0;
    std::int64_t sequence = 0;
    std::int64_t generation = 0;
    std::int64_t lost = 0;
    std::string aux, text;
    std::int64_t id = 0;  // in its table (messages or gaps): the order the collector stored it in
};

// The line of `row` without its line end. The short format pads the host to `hostWidth`.
std::string FleetRowLine(const FleetRow& row, FleetFormat format, bool utc, std::size_t hostWidth);
// The line before the first row: CSV's header; empty for the other formats.
std::string FleetRowHeader(FleetFormat format);

// `hosts` as `hosts` prints them, each line with its line end (the short format with a header).
std::string HostsText(const std::vector<HostFigures>& hosts, FleetFormat format, bool utc,
                      std::chrono::seconds quietAfter);

}  // namespace ZintarFleet
