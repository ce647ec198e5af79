#include "tools/zintar-fleet/LoaderSession.h"

#include "util/Exceptions.h"

namespace ZintarFleet {

namespace {

constexpr std::string_view kBegin = "BEGIN TRANSACTION";
constexpr std::string_view kCommit = "COMMIT TRANSACTION";

// An answer is one line: rsyslog logs it as the reason the batch failed.
std::string ErrorReply(const std::string& text)
{
    std::string line = "ERROR " + text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    return line;
}

}  // namespace

LoaderSession::LoaderSession(std::function<void(const std::vector<IncomingRecord>&)> store,
                             std::function<void(const std::string&)> reply, RecordJournal& journal,
                             const std::vector<std::string>& carried)
    : store(std::move(store)), reply(std::move(reply)), journal(journal)
{
    for (const std::string& line : carried)
        if (kept.insert(line).second)
            batch.push_back(ParseIncomingRecord(line));
}

void LoaderSession::Start()
{
    if (!batch.empty())
        Commit(nullptr);  // if the database is away, they wait for the first batch's commit
    reply("OK");
}

bool LoaderSession::Commit(std::string* error)
{
    try {
        store(batch);
    } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
        if (error)
            *error = ErrorReply(e.GetFullMessage(": "));
        return false;
    }
    journal.Forget();
    batch.clear();
    kept.clear();
    return true;
}

void LoaderSession::Add(std::string_view line)
{
    std::string text(line);
    if (!kept.insert(text).second)
        return;
    journal.Keep(text);
    batch.push_back(ParseIncomingRecord(text));
}

void LoaderSession::Line(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::string error;
    if (line == kBegin) {
        inTransaction = true;
        reply("OK");
    } else if (line == kCommit) {
        inTransaction = false;
        reply(Commit(&error) ? "OK" : error);
    } else {
        Add(line);
        if (inTransaction)
            reply("DEFER_COMMIT");
        else
            reply(Commit(&error) ? "OK" : error);
    }
}

}  // namespace ZintarFleet
