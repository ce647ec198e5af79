// The loader's side of the collector's database: stores a batch of records in one transaction.
//
// Messages go by COPY into a temporary staging table and on with one INSERT ... SELECT ... ON
// CONFLICT DO NOTHING, so a copy of a stored message adds nothing; gaps likewise, and records set
// aside into zintar_rejected. The hosts' counts change in the same transaction. A row the database
// refuses after all (what the parser let through) does not block its batch: the batch is stored
// again row by row, and that row goes into zintar_rejected with the database's reason.
//
// Batches are committed one after another across every loader (a transaction-level advisory lock
// taken just before the rows are inserted), so zintar_message's ids grow in commit order and a reader
// that asks for "every row after id N" misses none.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/zintar-fleet/Database.h"
#include "tools/zintar-fleet/IncomingRecord.h"

namespace ZintarFleet {

// Where a batch ends in rsyslog's spool: stored in the batch's own transaction.
struct SpoolPlace {
    std::string file;           // the spool file's name, without its folder
    std::int64_t position = 0;  // bytes of it stored, this batch's included
};

struct StoreCounts {
    std::uint64_t messages = 0;  // new rows
    std::uint64_t copies = 0;    // messages that were there already
    std::uint64_t gaps = 0;
    std::uint64_t rejected = 0;
};

class MessageStore {
public:
    // Connects on first use and again after a connection broke. `diagnostic` receives one line per
    // event an administrator should hear of (a partition that could not be made, a row refused).
    MessageStore(std::string conninfo, std::function<void(const std::string&)> diagnostic);
    ~MessageStore();

    // Stores every record, or nothing: throws DatabaseError when the batch could not be committed.
    // With `place`, the spool's position moves to it in the same transaction.
    StoreCounts Store(const std::vector<IncomingRecord>& batch, const SpoolPlace* place = nullptr);

    // The spool positions stored, by file name.
    std::map<std::string, std::int64_t> SpoolPositions();
    // Forgets the position of a spool file that is gone.
    void ForgetSpoolFile(const std::string& file);

private:
    Database& Connection();
    void MakePartitions(const std::vector<IncomingRecord>& batch);
    StoreCounts StoreAll(const std::vector<IncomingRecord>& batch, const SpoolPlace* place);
    StoreCounts StoreEach(const std::vector<IncomingRecord>& batch, const SpoolPlace* place);
    void MovePlace(const SpoolPlace* place);
    void InsertGap(const IncomingGap& gap, StoreCounts& counts);
    void InsertRejected(const RejectedRecord& rejected, StoreCounts& counts);
    void Rollback();

    std::string conninfo;
    std::function<void(const std::string&)> diagnostic;
    std::unique_ptr<Database> database;
    std::set<std::int32_t> partitionDays;  // days whose partition is known to exist
};

}  // namespace ZintarFleet
