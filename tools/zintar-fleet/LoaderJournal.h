// The loader's journal on disk: the records it has answered and not yet stored, one line each, in a
// file of the journal folder that this loader holds locked (flock) while it runs. A loader that
// starts takes over every journal file no running loader holds, so records of one that was killed
// are stored by the next; the files it took over are removed once their records are stored.
//
// The lines reach the file by write() before the answer goes out: they survive the loader's death
// (the operating system has them), not a power failure, as rsyslog's own disk queue without
// syncQueueFiles.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/zintar-fleet/LoaderSession.h"

namespace ZintarFleet {

class LoaderJournal : public RecordJournal {
public:
    // Takes a journal file of its own in `folder` (made if missing) and reads every journal file no
    // other loader holds. Throws ExceptionBase naming the folder when it cannot.
    explicit LoaderJournal(const std::string& folder);
    ~LoaderJournal() override;
    LoaderJournal(const LoaderJournal&) = delete;
    LoaderJournal& operator=(const LoaderJournal&) = delete;

    // What the journal files held at the start: records answered by a loader that did not store them.
    const std::vector<std::string>& Carried() const { return carried; }

    void Keep(std::string_view line) override;
    void Forget() override;

private:
    std::string folder;
    std::string path;
    int descriptor = -1;
    std::vector<std::pair<std::string, int>> adopted;  // other files taken over, removed at the first Forget()
    std::vector<std::string> carried;
};

}  // namespace ZintarFleet
