// The loader's conversation with rsyslog's omprog, with confirmations and transactions on:
//
//   loader:  OK                          ready (once, at its start)
//   rsyslog: BEGIN TRANSACTION    loader: OK
//   rsyslog: <record>             loader: DEFER_COMMIT      (each record of the batch)
//   rsyslog: COMMIT TRANSACTION   loader: OK                (once the batch is committed)
//                                         or an error line  (nothing stored: rsyslog keeps the
//                                                            batch in its queue and sends it again)
//
// rsyslog 8.2302 forgets a record once it was answered DEFER_COMMIT if the transaction then ends any
// other way than by its commit (the loader killed or stalled in the middle of a batch: measured, it
// sent only the rest of the batch again). So every record is written to the journal before it is
// answered, and stays there until a commit stored it; a loader that starts stores what the journal
// holds from one that died. A record answered is therefore never lost, only perhaps stored twice,
// which the database's ON CONFLICT DO NOTHING absorbs. Records are kept until they are stored,
// across a BEGIN without a COMMIT too; a copy of a kept record (rsyslog sending a batch again) is
// kept once. A record outside a transaction is stored on its own and answered OK or with an error.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tools/zintar-fleet/IncomingRecord.h"

namespace ZintarFleet {

// Where answered records wait for their commit: Keep() before the answer, Forget() once stored.
class RecordJournal {
public:
    virtual ~RecordJournal() = default;
    virtual void Keep(std::string_view line) = 0;
    virtual void Forget() = 0;
};

class LoaderSession {
public:
    // `store` stores a batch or throws ExceptionBase; `reply` receives each answer line (without its
    // line end; the caller writes and flushes it). `carried` are the lines a journal held at the
    // start, from a loader that died: they are stored with the first batch (or at Start()).
    LoaderSession(std::function<void(const std::vector<IncomingRecord>&)> store,
                  std::function<void(const std::string&)> reply, RecordJournal& journal,
                  const std::vector<std::string>& carried = {});

    // Tries to store what was carried over, then says it is ready.
    void Start();
    void Line(std::string_view line);

    // Records received and not yet stored.
    size_t Pending() const { return batch.size(); }

private:
    bool Commit(std::string* error);
    void Add(std::string_view line);

    std::function<void(const std::vector<IncomingRecord>&)> store;
    std::function<void(const std::string&)> reply;
    RecordJournal& journal;
    std::vector<IncomingRecord> batch;
    std::unordered_set<std::string> kept;  // the lines in `batch`
    bool inTransaction = false;
};

}  // namespace ZintarFleet
