// The loader's side of rsyslog's spool. rsyslog writes every record it takes, as a line ("ADDRESS
// RECORD"), into a spool file of the hour (YYYYMMDD-HH.records) before it answers the sender, so
// what a forwarder was told is taken is on the collector's disk, whatever happens to rsyslogd. The
// loader reads the files oldest first and stores their lines in batches; each batch moves the file's
// position in the same transaction as its rows (zintar_spool_position), so a loader that stops
// anywhere, or a database that goes away, costs nothing but a wait: the next batch starts where the
// last commit left it. A file read to its end that rsyslog no longer writes (a newer one exists and
// it did not change for a while) is removed, with its position.
//
// One loader a spool: the folder's lock file is held while it runs. Not thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "tools/zintar-fleet/MessageStore.h"

namespace ZintarFleet {

class SpoolLoader {
public:
    // Takes the spool's lock (the folder is made if missing); throws ExceptionBase naming the folder
    // when it cannot, or when another loader holds it.
    SpoolLoader(std::string folder, MessageStore& store, std::function<void(const std::string&)> diagnostic);
    ~SpoolLoader();
    SpoolLoader(const SpoolLoader&) = delete;
    SpoolLoader& operator=(const SpoolLoader&) = delete;

    // Stores the next batch of the oldest file that has unread lines (at most kMaxLines lines) and
    // removes files that are done. True when it stored a batch, so that there may be more at once.
    // Throws DatabaseError when the database cannot store (nothing moved), ExceptionBase when a file
    // cannot be read.
    bool Step();

    static constexpr std::size_t kMaxLines = 4096;
    // How long a file read to its end stays after a newer one appeared: rsyslog may still be writing
    // its last lines when the hour turns.
    static constexpr int kSettleSeconds = 10;

private:
    bool StoreFrom(const std::string& name, std::int64_t size, bool settled);

    std::string folder;
    MessageStore& store;
    std::function<void(const std::string&)> diagnostic;
    std::map<std::string, std::int64_t> positions;
    bool positionsRead = false;
    int lock = -1;
};

}  // namespace ZintarFleet
