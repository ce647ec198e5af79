// The loader's conversation with rsyslog's omprog, with confirmations and transactions on:
//
//   loader:  OK                          ready (once, at its start)
//   rsyslog: BEGIN TRANSACTION    loader: OK
//   rsyslog: <record>             loader: DEFER_COMMIT      (each record of the batch)
//   rsyslog: COMMIT TRANSACTION   loader: OK                (once the batch is committed)
//                                         or an error line  (nothing stored: rsyslog keeps the
//                                                            batch in its queue and sends it again)
//
// A record outside a transaction is stored on its own and answered OK or with an error. A batch that
// rsyslog never commits (it stopped, or the loader is restarted) is dropped: rsyslog still has it.
// The answer to the commit is written only after the database's COMMIT returned, so a record leaves
// rsyslog's queue only once PostgreSQL has it.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zintar-fleet/IncomingRecord.h"

namespace ZintarFleet {

class LoaderSession {
public:
    // `store` stores a batch or throws ExceptionBase; `reply` receives each answer line (without its
    // line end; the caller writes and flushes it).
    LoaderSession(std::function<void(const std::vector<IncomingRecord>&)> store,
                  std::function<void(const std::string&)> reply);

    void Start();
    void Line(std::string_view line);

    // Records received in the transaction that is open, for the diagnostic log.
    size_t Pending() const { return batch.size(); }

private:
    void Commit();

    std::function<void(const std::vector<IncomingRecord>&)> store;
    std::function<void(const std::string&)> reply;
    std::vector<IncomingRecord> batch;
    bool inTransaction = false;
};

}  // namespace ZintarFleet
