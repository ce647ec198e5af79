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
                             std::function<void(const std::string&)> reply)
    : store(std::move(store)), reply(std::move(reply))
{
}

void LoaderSession::Start()
{
    reply("OK");
}

void LoaderSession::Commit()
{
    try {
        store(batch);
        reply("OK");
    } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
        reply(ErrorReply(e.GetFullMessage(": ")));
    }
    batch.clear();
}

void LoaderSession::Line(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line == kBegin) {
        batch.clear();  // a batch begun again was not committed: rsyslog sends all of it again
        inTransaction = true;
        reply("OK");
    } else if (line == kCommit) {
        inTransaction = false;
        Commit();
    } else {
        batch.push_back(ParseIncomingRecord(line));
        if (inTransaction)
            reply("DEFER_COMMIT");
        else
            Commit();
    }
}

}  // namespace ZintarFleet
