// The forwarder's engine: reads the ring after the resume point, sends each message to the
// collector as one RFC 5424 record, and moves the resume point only past what the collector has:
//   - RELP: every record is answered by the collector; the point moves with the answers.
//   - TCP and TLS give no answer: a record counts as delivered once its bytes were handed to the
//     connection and it then kept running for a second, or closed cleanly.
// The ring is the buffer: at most `window` records are sent and not yet delivered (only their
// names are kept in memory, not their bytes). When the connection fails, everything after the resume point is read again from the
// ring and sent again on the next connection (so the collector may see those records twice, never
// none). Retries wait 1 s, doubling up to 30 s.
//
// Everything that touches the system (the ring, the network, the clock, the state file, the
// diagnostic log) goes through ForwarderPlatform, so the engine runs natively in tests against a
// ring in memory and a scripted collector. One thread runs it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tools/zintar-forward/Connection.h"
#include "tools/zintar-forward/ForwardTarget.h"
#include "tools/zintar-forward/RelpProtocol.h"
#include "util/ForwardState.h"
#include "util/LogCursor.h"
#include "util/SyslogRecord.h"

namespace ZintarForward {

using ZintarUtil::ForwardState;
using ZintarUtil::ResumePoint;

class ForwarderPlatform {
public:
    virtual ~ForwarderPlatform() = default;

    virtual std::uint64_t NowMs() = 0;               // a monotonic clock
    virtual ZintarUtil::TimeFields LocalTime() = 0;  // for the gap record and the status
    virtual ZintarUtil::SyslogOrigin Origin() = 0;   // host name, today's UTC offset, facility
    // Calls `read` with the ring under read access. False when the log is not shared now (the
    // service does not run); throws nothing.
    virtual bool
    ReadRing(const std::function<void(const ZintarUtil::FileHeader&, const ZintarUtil::NewestRecord&)>& read) = 0;
    // A new connection to the collector (TLS set up and the certificate checked where the target
    // asks for it). Throws ExceptionBase with the reason.
    virtual std::unique_ptr<Connection> Connect() = 0;
    // Replaces the state file. Throws ExceptionBase.
    virtual void SaveState(const ForwardState& state) = 0;
    virtual void Log(const std::string& line) = 0;
    // Waits up to `ms` or until a stop is asked for; true when it is.
    virtual bool WaitForStop(std::uint32_t ms) = 0;
    virtual bool StopRequested() = 0;
};

struct ForwarderOptions {
    ForwardTarget target;
    std::uint32_t typeMask = ZintarUtil::kEveryTypeMask;
    // Records sent and not yet delivered; 0: 16,384 for RELP (unanswered), 65,536 for TCP and TLS
    // (a second's worth at full speed, since a record counts there only after a second).
    std::size_t window = 0;
    std::uint32_t pollMs = 50;              // how often an idle forwarder looks at the ring
    std::uint32_t deliveredAfterMs = 1000;  // TCP and TLS: how long a record must stand sent
    std::uint32_t replyTimeoutMs = 10000;   // RELP: how long the oldest record may wait for its answer
    std::uint32_t maxBackoffMs = 30000;
};

class Forwarder {
public:
    Forwarder(ForwarderOptions options, ForwarderPlatform& platform, ForwardState saved);

    // Forwards until the platform asks to stop, then delivers what it can within a few seconds,
    // closes the connection and saves the state.
    void Run();

    // One round: connects when it is time, sends what the ring holds after the window's end,
    // takes the collector's answers, saves the state when due. Waits at most about pollMs.
    void Step();
    // Ends the connection in order and saves the state (what Run does last).
    void Finish();

    const ForwardState& State() const { return state; }

private:
    struct InFlight {
        std::optional<ResumePoint> point;  // none for a gap record
        bool sent = false;                 // false for a message whose type is not forwarded
        std::uint32_t txnr = 0;            // RELP
        std::uint64_t sentAt = 0;
        std::uint64_t lost = 0;  // a gap record: the messages it owns up to
        bool uncounted = false;  // a gap record: and an unknown number more
    };

    void Connect();
    void OpenRelpSession();
    void Disconnect(const std::string& why);
    // Reads the ring after the window's end and sends it in one piece.
    void SendMore();
    bool HasRoomToSend() const;
    // Says once, in the log and in the status, that the saved resume point was not believed.
    void DistrustResumePoint(const ZintarUtil::CursorBatch& batch);
    void Queue(std::string& out, const std::string& record, InFlight entry);
    void TakeReplies(std::uint32_t waitMs);
    void TakeRelpReply(const RelpReply& reply);
    void DeliverUpTo(std::size_t count);
    void DeliverSettled();
    void SaveIfDue(bool now);
    void LookBehindWhileAway();
    std::string LocalTimeText();

    ForwarderOptions options;
    ForwarderPlatform& platform;
    ForwardState state;
    ForwardState savedState;
    std::uint64_t savedAt = 0;

    ZintarUtil::LogCursor cursor;  // it has what the collector has
    std::unique_ptr<Connection> connection;
    std::deque<InFlight> inFlight;
    RelpReplyReader replies;
    std::uint32_t nextTxnr = 1;
    std::uint64_t nextConnectAt = 0;
    std::uint32_t backoffMs = 1000;
    bool moreInRing = false;
    std::uint64_t lookedBehindAt = 0;
    bool distrustedResumePoint = false;
    std::string lastLoggedProblem;
    std::string lastSaveFailure;
};

}  // namespace ZintarForward
