#include "tools/zintar-forward/Forwarder.h"

#include <algorithm>

#include "util/Exceptions.h"
#include "util/TimeStamps.h"

namespace ZintarForward {

using ZintarUtil::DigestOf;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

constexpr std::uint32_t kSendTimeoutMs = 30000;
// A stop waits this long for the collector's last answers, then closes. The platform's
// connection cuts every wait short soon after a stop whatever it was given (a stalled collector
// holds no stop up), so this only has to stay below that.
constexpr std::uint32_t kFinishBudgetMs = 1000;
constexpr std::uint32_t kLookBehindEveryMs = 1000;
constexpr std::uint32_t kSaveEveryMs = 1000;
// rsyslog's imrelp answers a session's records one by one; with 16,384 unanswered it keeps up with
// records sent all at once (about 95,000 a second under Wine here), with 1,024 it managed 20,000.
constexpr std::size_t kRelpWindow = 16384;
constexpr std::size_t kStreamWindow = 65536;

std::string OctetCounted(const std::string& record)
{
    return std::to_string(record.size()) + " " + record;
}

}  // namespace

Forwarder::Forwarder(ForwarderOptions options, ForwarderPlatform& platform, ForwardState saved)
    : options(std::move(options)), platform(platform), state(std::move(saved)), cursor(state.acknowledged)
{
    const ForwardTarget& target = this->options.target;
    if (this->options.window == 0)
        this->options.window = target.UsesRelp() ? kRelpWindow : kStreamWindow;
    state.target = target.url;
    state.connected = false;
    state.protocol.clear();
    state.forwarded = 0;
    state.problem = "not connected yet";
    state.warning.clear();
    state.notice.clear();
    if (!target.UsesTls() && !target.IsLoopback())
        state.warning = "messages travel as plain text to " + target.host +
                        ": use relp+tls:// or tls:// unless the network is trusted";
    savedState = state;
}

void Forwarder::Run()
{
    platform.Log("zintar-forward: forwarding to " + options.target.url +
                 (state.acknowledged ? ", resuming after sequence " + std::to_string(state.acknowledged->sequence)
                                     : ", starting with the oldest message the log holds"));
    if (!state.warning.empty())
        platform.Log("zintar-forward: warning: " + state.warning);
    while (!platform.StopRequested())
        Step();
    Finish();
    if (state == savedState)
        platform.Log(
            "zintar-forward: stopped; the resume point is saved" +
            (state.acknowledged ? " after sequence " + std::to_string(state.acknowledged->sequence) : std::string()));
}

void Forwarder::Step()
{
    if (!connection && platform.NowMs() >= nextConnectAt)
        Connect();
    if (!connection) {
        LookBehindWhileAway();
        SaveIfDue(false);
        const std::uint64_t now = platform.NowMs();
        platform.WaitForStop(static_cast<std::uint32_t>(
            std::clamp<std::uint64_t>(nextConnectAt > now ? nextConnectAt - now : 0, 1, kLookBehindEveryMs)));
        return;
    }
    try {
        SendMore();
        DeliverSettled();
        // Waits for answers (or for time to pass) only when there is nothing to send at once.
        TakeReplies(moreInRing && HasRoomToSend() ? 0 : options.pollMs);
        DeliverSettled();
    } catch (const ExceptionBase& e) {
        Disconnect(e.GetFullMessage("; "));
    }
    SaveIfDue(false);
}

void Forwarder::Connect()
{
    try {
        connection = platform.Connect();
        replies = RelpReplyReader{};
        if (options.target.UsesRelp())
            OpenRelpSession();
    } catch (const ExceptionBase& e) {
        connection.reset();
        Disconnect(e.GetFullMessage("; "));
        return;
    }
    inFlight.clear();
    cursor.Rewind(state.acknowledged);
    state.connected = true;
    state.protocol = connection->Protocol();
    state.problem.clear();
    lastLoggedProblem.clear();
    platform.Log("zintar-forward: connected to " + options.target.url +
                 (state.protocol.empty() ? "" : " over " + state.protocol));
}

void Forwarder::OpenRelpSession()
{
    nextTxnr = 1;
    connection->Send(RelpFrame(nextTxnr, "open", RelpOpenOffer()), kSendTimeoutMs);
    const std::uint64_t deadline = platform.NowMs() + options.replyTimeoutMs;
    std::optional<RelpReply> reply;
    while (!(reply = replies.Next())) {
        const std::uint64_t now = platform.NowMs();
        if (now >= deadline)
            throw ExceptionBase("The collector did not answer the RELP session's opening within " +
                                std::to_string(options.replyTimeoutMs / 1000) + " s");
        replies.Feed(connection->Receive(static_cast<std::uint32_t>(deadline - now)));
    }
    if (reply->command != "rsp" || reply->txnr != nextTxnr)
        throw ExceptionBase("The collector answered the RELP session's opening with '" + reply->command + "' " +
                            std::to_string(reply->txnr));
    const RelpStatus status = ParseRelpStatus(reply->data);
    if (!status.Ok())
        throw ExceptionBase("The collector refused the RELP session: " + std::to_string(status.code) + " " +
                            status.text);
    nextTxnr = NextRelpTxnr(nextTxnr);
}

void Forwarder::Disconnect(const std::string& why)
{
    connection.reset();
    inFlight.clear();
    cursor.Rewind(state.acknowledged);
    state.connected = false;
    state.protocol.clear();
    state.problem = why;
    nextConnectAt = platform.NowMs() + backoffMs;
    // The same failure again and again is logged once, not every 30 s for as long as it lasts; a
    // connection that the stop ended is no problem to report.
    if (why != lastLoggedProblem && !platform.StopRequested())
        platform.Log("zintar-forward: no connection to " + options.target.url + ": " + why + "; trying again in " +
                     std::to_string(backoffMs / 1000) + " s and then at most every " +
                     std::to_string(options.maxBackoffMs / 1000) + " s");
    lastLoggedProblem = why;
    backoffMs = std::min(backoffMs * 2, options.maxBackoffMs);
}

// The ring is read again once half the window is free (or the window is empty), not for every
// answer: under Wine a read access costs most of a millisecond.
bool Forwarder::HasRoomToSend() const
{
    return inFlight.empty() || inFlight.size() <= options.window / 2;
}

void Forwarder::SendMore()
{
    if (!HasRoomToSend())
        return;
    const std::size_t room = options.window - inFlight.size();
    ZintarUtil::CursorBatch batch;
    if (!platform.ReadRing([&](const ZintarUtil::FileHeader& header, const ZintarUtil::NewestRecord& newest) {
            batch = cursor.Take(header, newest, room);
        })) {
        moreInRing = false;
        return;
    }
    moreInRing = batch.behind > 0;
    if (batch.positionAhead)
        DistrustResumePoint(batch);
    state.behind = inFlight.size() + batch.records.size() + batch.behind;
    if (batch.lost == 0 && !batch.uncounted && batch.records.empty())
        return;
    const ZintarUtil::SyslogOrigin origin = platform.Origin();  // today's offset from UTC, for every batch
    std::string out;
    if (batch.lost > 0 || batch.uncounted) {
        // A burst that rewrote the log whole left no numbers to count by: the gap record says that
        // messages were lost and that nobody can say how many, rather than nothing.
        platform.Log(batch.uncounted
                         ? "zintar-forward: the log was rewritten whole by a burst larger than it holds; the messages "
                           "that burst overwrote before they could be forwarded cannot be counted"
                         : "zintar-forward: " + std::to_string(batch.lost) +
                               " messages were overwritten in the log before they could be forwarded");
        InFlight gap{std::nullopt, false, 0, 0, batch.lost};
        gap.uncounted = batch.uncounted;
        Queue(out, SyslogGapRecord(batch.lost, batch.generation, platform.LocalTime(), origin, !batch.uncounted), gap);
    }
    for (const ZintarUtil::MessageRecord& record : batch.records) {
        InFlight entry{ResumePoint{batch.generation, record.sequence, DigestOf(record.message)}};
        const std::uint32_t type = record.message.type;
        if (type < ZintarUtil::kMessageTypes && (options.typeMask & (1u << type)))
            Queue(out, SyslogRecord(record, batch.generation, origin), entry);
        else
            inFlight.push_back(entry);
    }
    if (!out.empty())
        connection->Send(out, kSendTimeoutMs);
}

void Forwarder::DistrustResumePoint(const ZintarUtil::CursorBatch& batch)
{
    if (distrustedResumePoint || !state.acknowledged)
        return;
    distrustedResumePoint = true;
    const ResumePoint& p = *state.acknowledged;
    state.notice = "the resume point (sequence " + std::to_string(p.sequence) + " of generation " +
                   std::to_string(p.generation) + ") lies ahead of what the log holds (generation " +
                   std::to_string(batch.generation) +
                   "): a new log file, or a state file that is not this log's; sent again from the oldest message "
                   "the log holds";
    platform.Log("zintar-forward: " + state.notice);
}

void Forwarder::Queue(std::string& out, const std::string& record, InFlight entry)
{
    entry.sent = true;
    entry.sentAt = platform.NowMs();
    if (options.target.UsesRelp()) {
        entry.txnr = nextTxnr;
        out += RelpFrame(nextTxnr, "syslog", record);
        nextTxnr = NextRelpTxnr(nextTxnr);
    } else {
        out += OctetCounted(record);
    }
    inFlight.push_back(entry);
}

void Forwarder::TakeReplies(std::uint32_t waitMs)
{
    const std::string bytes = connection->Receive(waitMs);
    if (!options.target.UsesRelp()) {
        if (!bytes.empty())
            throw ExceptionBase("The collector sent data on a syslog connection, where it never answers");
        return;
    }
    replies.Feed(bytes);
    while (std::optional<RelpReply> reply = replies.Next())
        TakeRelpReply(*reply);
    const auto oldest = std::find_if(inFlight.begin(), inFlight.end(), [](const InFlight& e) { return e.sent; });
    if (oldest != inFlight.end() && platform.NowMs() - oldest->sentAt > options.replyTimeoutMs)
        throw ExceptionBase("The collector did not answer RELP transaction " + std::to_string(oldest->txnr) +
                            " within " + std::to_string(options.replyTimeoutMs / 1000) + " s");
}

void Forwarder::TakeRelpReply(const RelpReply& reply)
{
    if (reply.command == "serverclose")
        throw ExceptionBase("The collector ended the RELP session (serverclose)");
    if (reply.command != "rsp")
        throw ExceptionBase("The collector sent the RELP command '" + reply.command + "', where only answers belong");
    const auto oldest = std::find_if(inFlight.begin(), inFlight.end(), [](const InFlight& e) { return e.sent; });
    if (oldest == inFlight.end() || oldest->txnr != reply.txnr)
        throw ExceptionBase(
            "The collector answered RELP transaction " + std::to_string(reply.txnr) + ", where " +
            (oldest == inFlight.end() ? std::string("none was open") : std::to_string(oldest->txnr) + " was next"));
    const RelpStatus status = ParseRelpStatus(reply.data);
    if (!status.Ok())
        throw ExceptionBase("The collector refused a record: " + std::to_string(status.code) + " " + status.text);
    DeliverUpTo(static_cast<std::size_t>(oldest - inFlight.begin()) + 1);
    backoffMs = 1000;
}

void Forwarder::DeliverUpTo(std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        const InFlight& entry = inFlight.front();
        if (entry.point) {
            state.acknowledged = entry.point;
            cursor.Had(entry.point->digest);
        }
        if (entry.point && entry.sent)
            ++state.forwarded;
        state.lost += entry.lost;
        state.uncountedLosses += entry.uncounted ? 1 : 0;
        inFlight.pop_front();
    }
    if (count > 0)
        state.acknowledgedAt = LocalTimeText();
}

// Records that need no answer: types that are not forwarded, at once; under TCP and TLS, what
// stood sent for a second on a connection that still runs.
void Forwarder::DeliverSettled()
{
    const std::uint64_t now = platform.NowMs();
    const bool answered = options.target.UsesRelp();
    std::size_t count = 0;
    for (const InFlight& entry : inFlight) {
        if (entry.sent && (answered || now - entry.sentAt < options.deliveredAfterMs))
            break;
        ++count;
    }
    DeliverUpTo(count);
    if (count > 0 && !answered)
        backoffMs = 1000;
}

void Forwarder::Finish()
{
    if (connection) {
        try {
            const std::uint64_t deadline = platform.NowMs() + kFinishBudgetMs;
            const auto sent = [&] {
                return std::any_of(inFlight.begin(), inFlight.end(), [](auto& e) { return e.sent; });
            };
            if (options.target.UsesRelp()) {
                while (sent() && platform.NowMs() < deadline)
                    TakeReplies(100);
                connection->Send(RelpFrame(nextTxnr, "close", ""), kSendTimeoutMs);
            }
            const std::uint64_t now = platform.NowMs();
            const bool clean = connection->Close(static_cast<std::uint32_t>(deadline > now ? deadline - now : 0));
            // A clean close means the collector has read everything: as good as an answer.
            if (clean && !options.target.UsesRelp())
                DeliverUpTo(inFlight.size());
        } catch (const ExceptionBase& e) {
            platform.Log("zintar-forward: the connection ended while stopping: " + e.GetFullMessage("; "));
        }
        connection.reset();
    }
    DeliverSettled();
    state.connected = false;
    state.protocol.clear();
    state.problem = "stopped";
    SaveIfDue(true);
}

void Forwarder::LookBehindWhileAway()
{
    const std::uint64_t now = platform.NowMs();
    if (now - lookedBehindAt < kLookBehindEveryMs && lookedBehindAt != 0)
        return;
    lookedBehindAt = now;
    platform.ReadRing([&](const ZintarUtil::FileHeader& header, const ZintarUtil::NewestRecord& newest) {
        state.behind = cursor.Behind(header, newest);
    });
}

void Forwarder::SaveIfDue(bool now)
{
    const std::uint64_t time = platform.NowMs();
    if (state == savedState || (!now && time - savedAt < kSaveEveryMs))
        return;
    ForwardState toSave = state;
    toSave.updatedAt = LocalTimeText();
    try {
        platform.SaveState(toSave);
        savedState = state;
        savedAt = time;
        if (!lastSaveFailure.empty())
            platform.Log("zintar-forward: the resume point is saved again");
        lastSaveFailure.clear();
    } catch (const ExceptionBase& e) {
        // Tried: again in a second, not at once; and said once, not every second it lasts.
        savedAt = time;
        const std::string failure = e.GetFullMessage("; ");
        if (failure != lastSaveFailure)
            platform.Log("zintar-forward: failed to save the resume point: " + failure);
        lastSaveFailure = failure;
    }
}

std::string Forwarder::LocalTimeText()
{
    return ZintarUtil::TimeStampText(platform.LocalTime());
}

}  // namespace ZintarForward
