// The reading verbs of zintar-fleet against the collector's database: hosts, read, follow, check.
// They log in as zintar_reader (unless the conninfo or PGUSER names another role), in a read-only
// session whose every statement ends within a statement timeout, and send only the statements of
// FleetQueries.h. One thread uses a reader at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/zintar-fleet/Database.h"
#include "tools/zintar-fleet/FleetCommandLine.h"
#include "tools/zintar-fleet/FleetHealth.h"
#include "tools/zintar-fleet/FleetOutput.h"
#include "tools/zintar-fleet/FleetQueries.h"

namespace ZintarFleet {

// `conninfo` with user=zintar_reader added when neither it nor PGUSER (`pgUser`, null when unset)
// names a role; a URI gets it as a query parameter.
std::string ReaderConninfo(const std::string& conninfo, const char* pgUser);

// A connection for reading: zintar_reader by default, read-only, statements bounded by `timeout`.
// Throws DatabaseError naming the server or the role with what to do.
std::unique_ptr<Database> ConnectReader(const std::string& conninfo, std::chrono::seconds timeout);

std::vector<HostFigures> QueryHosts(Database& db);

// `statement` on `db`; the row `i` of a message statement's result (the columns of MessageColumn).
Rows RunStatement(Database& db, const Statement& statement);
FleetRow RowAt(const Rows& rows, int i);

// hosts, read: print to `out`; return the exit code. Throw DatabaseError.
int RunHosts(Database& db, const FleetCommand& command, std::ostream& out);
int RunRead(Database& db, const FleetCommand& command, std::ostream& out);

// check: never throws; a database it cannot reach or ask is UNKNOWN.
CheckResult RunCheck(const FleetCommand& command);

// Everything the store holds after a cursor: the ids of the newest message and gap seen, which
// grow in the order the collector commits rows, so that no row stored while it follows is missed
// or shown twice, whatever the rows' own times.
class FleetFollower {
public:
    FleetFollower(Database& db, FleetFilter filter);

    // The newest `count` selected rows stored so far, oldest first; the cursor is set after
    // everything stored so far.
    std::vector<FleetRow> Start(std::uint32_t count);
    // The selected rows stored since the last call, in the order they were stored (messages, then
    // the gaps of the same look). At most kPollRows ids a call: a burst comes over several calls.
    std::vector<FleetRow> Poll();
    // Continues on another connection (the earlier one broke), from the same cursor.
    void Reattach(Database& other) { db = &other; }
    // Everything stored up to these ids was handed out (or left behind by Start).
    StoreCursor Cursor() const { return {messageCursor, gapCursor}; }

    static constexpr std::int64_t kPollRows = 10000;

private:
    Database* db;
    FleetFilter filter;
    std::int64_t messageCursor = 0, gapCursor = 0;
};

// follow: the first rows, then each new one, until `waitForNext` (called between looks at the
// store) returns false. A connection that breaks is made again, up to every look, from the same
// cursor; `conninfo` is what makes it.
int RunFollow(const std::string& conninfo, const FleetCommand& command, std::ostream& out,
              const std::function<bool()>& waitForNext);

}  // namespace ZintarFleet
