// RelpSender: N RELP sessions into a collector, as a fleet of forwarders that all come back at once.
// Each session sends M records in the forwarder's own format (util/SyslogRecord.h: a host name of
// its own, sequences 0..M-1, the time stamps from now on, a millisecond apart) with a window of
// unanswered records, through the forwarder's RELP frames and reply reader, one thread a session.
//
//   RelpSender --port P [--senders N] [--records M] [--window W] [--host-prefix X] [--timeout S] [--tcp]
//
// --tcp sends the same records octet-counted over plain TCP (RFC 6587, imtcp) instead, all at once:
// nothing is answered, and LAST_ANSWER is when the last byte was handed to the connection. It shows
// what the collector takes when RELP's answers are not in the way.
//
// Every session first opens (the "open" handshake), then all start sending at the same moment. It
// prints shell assignments: FIRST_SENT (the epoch time of that moment), LAST_ANSWER (the epoch time
// the last record was answered), ANSWER_SECONDS (between the two), ANSWERED, RATE (records answered a
// second), SENDER_CPU (this program's processor seconds while sending). A session that fails, or a
// run that outlasts --timeout, ends the program with status 1 and the reason.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/zintar-forward/RelpProtocol.h"
#include "util/SyslogRecord.h"

namespace {

using Clock = std::chrono::steady_clock;
using ZintarForward::RelpFrame;
using ZintarForward::RelpReply;
using ZintarForward::RelpReplyReader;

struct Options {
    int port = 0;
    int senders = 1;
    std::uint64_t records = 50000;
    std::uint64_t window = 16384;  // the forwarder's
    std::string hostPrefix = "bench-";
    int timeoutSeconds = 600;
    bool tcp = false;
};

[[noreturn]] void Usage()
{
    std::fprintf(stderr, "usage: RelpSender --port P [--senders N] [--records M] [--window W] [--host-prefix X] "
                         "[--timeout S] [--tcp]\n");
    std::exit(2);
}

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--tcp") {
            options.tcp = true;
            continue;
        }
        if (i + 1 >= argc)
            Usage();
        const std::string value = argv[++i];
        try {
            if (name == "--port")
                options.port = std::stoi(value);
            else if (name == "--senders")
                options.senders = std::stoi(value);
            else if (name == "--records")
                options.records = std::stoull(value);
            else if (name == "--window")
                options.window = std::stoull(value);
            else if (name == "--host-prefix")
                options.hostPrefix = value;
            else if (name == "--timeout")
                options.timeoutSeconds = std::stoi(value);
            else
                Usage();
        } catch (const std::logic_error&) {
            Usage();
        }
    }
    if (options.port <= 0 || options.port > 65535 || options.senders < 1 || options.senders > 1000 ||
        options.window < 1 || options.timeoutSeconds < 1)
        Usage();
    return options;
}

double EpochSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The texts vary as a machine's do, so that the collector's text index sees more than one string.
void FillMessage(ZintarUtil::LogMessage& message, std::uint64_t sequence, std::int64_t epochMilliseconds)
{
    const std::time_t seconds = static_cast<std::time_t>(epochMilliseconds / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    message = ZintarUtil::LogMessage{};
    message.timeStamp.year = static_cast<std::int16_t>(utc.tm_year + 1900);
    message.timeStamp.month = static_cast<std::int16_t>(utc.tm_mon + 1);
    message.timeStamp.day = static_cast<std::int16_t>(utc.tm_mday);
    message.timeStamp.hour = static_cast<std::int16_t>(utc.tm_hour);
    message.timeStamp.minute = static_cast<std::int16_t>(utc.tm_min);
    message.timeStamp.second = static_cast<std::int16_t>(utc.tm_sec);
    message.timeStamp.milliseconds = static_cast<std::int16_t>(epochMilliseconds % 1000);
    message.timeStamp.weekday = static_cast<std::int16_t>(utc.tm_wday);
    message.type = static_cast<std::uint32_t>(sequence % 4);
    static constexpr const char* kTexts[] = {
        "Camera frame dropped on port %llu after %llu ms", "Disk C: %llu MB free, write of block %llu delayed",
        "Axis %llu reached its limit switch at step %llu", "Network link up, %llu Mbit/s, retry %llu"};
    std::snprintf(message.text, sizeof message.text, kTexts[sequence % 4],
                  static_cast<unsigned long long>(sequence % 16), static_cast<unsigned long long>(sequence % 997));
    std::snprintf(message.auxText, sizeof message.auxText, "usb\\vid_%04llx",
                  static_cast<unsigned long long>(sequence % 64));
}

// One session: its whole stream of frames built beforehand, so that the run measures the collector
// and not the making of records.
class Session {
public:
    Session(const Options& options, int index, std::int64_t startMilliseconds) : options(options)
    {
        ZintarUtil::SyslogOrigin origin;
        origin.hostName = options.hostPrefix + std::to_string(index);
        ZintarUtil::MessageRecord record{};
        frameEnds.reserve(options.records);
        std::uint32_t txnr = 1;
        for (std::uint64_t sequence = 0; sequence < options.records; ++sequence) {
            record.sequence = sequence;
            FillMessage(record.message, sequence, startMilliseconds + static_cast<std::int64_t>(sequence));
            txnr = ZintarForward::NextRelpTxnr(txnr);
            const std::string text = ZintarUtil::SyslogRecord(record, 1, origin);
            stream += options.tcp ? std::to_string(text.size()) + " " + text : RelpFrame(txnr, "syslog", text);
            frameEnds.push_back(stream.size());
        }
        closeTxnr = ZintarForward::NextRelpTxnr(txnr);
    }

    ~Session()
    {
        if (socket >= 0)
            close(socket);
    }

    void Open(Clock::time_point deadline)
    {
        socket = ::socket(AF_INET, SOCK_STREAM, 0);
        if (socket < 0)
            throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(options.port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error(std::string("connect to 127.0.0.1:") + std::to_string(options.port) + ": " +
                                     std::strerror(errno));
        const int one = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
        if (options.tcp)
            return;
        SendAll(RelpFrame(1, "open", ZintarForward::RelpOpenOffer()), deadline);
        const RelpReply reply = NextReply(deadline);
        if (reply.txnr != 1 || !ZintarForward::ParseRelpStatus(reply.data).Ok())
            throw std::runtime_error("the collector refused the session: " + reply.data);
    }

    // Sends every record, keeping at most the window unanswered; returns when the last is answered.
    void Run(Clock::time_point deadline)
    {
        if (options.tcp) {
            SendAll(stream, deadline);
            answered = options.records;
            lastAnswer = EpochSeconds();
            return;
        }
        std::size_t sent = 0;  // bytes of `stream` written
        std::uint32_t expected = 2;
        char buffer[64 * 1024];
        while (answered < options.records) {
            const std::uint64_t allowed = std::min<std::uint64_t>(answered + options.window, options.records);
            const std::size_t sendUpTo = frameEnds[allowed - 1];
            pollfd descriptor{socket, static_cast<short>(POLLIN | (sent < sendUpTo ? POLLOUT : 0)), 0};
            if (Clock::now() > deadline)
                throw std::runtime_error("the run outlasted its time with " + std::to_string(answered) + " of " +
                                         std::to_string(options.records) + " records answered");
            if (poll(&descriptor, 1, 1000) < 0 && errno != EINTR)
                throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
            if ((descriptor.revents & POLLOUT) && sent < sendUpTo) {
                const ssize_t written = send(socket, stream.data() + sent, sendUpTo - sent, MSG_NOSIGNAL);
                if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    throw std::runtime_error(std::string("send: ") + std::strerror(errno));
                if (written > 0)
                    sent += static_cast<std::size_t>(written);
            }
            if (descriptor.revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t got = recv(socket, buffer, sizeof buffer, 0);
                if (got == 0)
                    throw std::runtime_error("the collector closed the session after " + std::to_string(answered) +
                                             " answers");
                if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    throw std::runtime_error(std::string("recv: ") + std::strerror(errno));
                if (got > 0)
                    reader.Feed(std::string_view(buffer, static_cast<std::size_t>(got)));
                while (const auto reply = reader.Next()) {
                    if (reply->command != "rsp")
                        throw std::runtime_error("the collector sent \"" + reply->command + "\"");
                    if (reply->txnr != expected || !ZintarForward::ParseRelpStatus(reply->data).Ok())
                        throw std::runtime_error("answer " + std::to_string(reply->txnr) + " \"" + reply->data +
                                                 "\" where " + std::to_string(expected) + " OK was due");
                    expected = ZintarForward::NextRelpTxnr(expected);
                    ++answered;
                }
            }
        }
        lastAnswer = EpochSeconds();
    }

    void Close(Clock::time_point deadline)
    {
        if (options.tcp)
            return;
        SendAll(RelpFrame(closeTxnr, "close", ""), deadline);
        try {
            NextReply(deadline);
        } catch (const std::exception&) {
            // The collector may end the session before it answers "close": nothing is lost then.
        }
    }

    std::uint64_t Answered() const { return answered; }
    double LastAnswer() const { return lastAnswer; }

private:
    void SendAll(const std::string& bytes, Clock::time_point deadline)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            if (Clock::now() > deadline)
                throw std::runtime_error("a send outlasted its time");
            const ssize_t written = send(socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (written > 0) {
                done += static_cast<std::size_t>(written);
                continue;
            }
            if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                throw std::runtime_error(std::string("send: ") + std::strerror(errno));
            pollfd descriptor{socket, POLLOUT, 0};
            poll(&descriptor, 1, 1000);
        }
    }

    RelpReply NextReply(Clock::time_point deadline)
    {
        char buffer[4096];
        for (;;) {
            if (auto reply = reader.Next())
                return *reply;
            if (Clock::now() > deadline)
                throw std::runtime_error("no answer in time");
            pollfd descriptor{socket, POLLIN, 0};
            poll(&descriptor, 1, 1000);
            const ssize_t got = recv(socket, buffer, sizeof buffer, 0);
            if (got == 0)
                throw std::runtime_error("the collector closed the session");
            if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                throw std::runtime_error(std::string("recv: ") + std::strerror(errno));
            if (got > 0)
                reader.Feed(std::string_view(buffer, static_cast<std::size_t>(got)));
        }
    }

    const Options& options;
    std::string stream;
    std::vector<std::size_t> frameEnds;  // where each record's frame ends in `stream`
    std::uint32_t closeTxnr = 0;
    int socket = -1;
    RelpReplyReader reader;
    std::uint64_t answered = 0;
    double lastAnswer = 0;
};

double ProcessorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options options = ParseOptions(argc, argv);
    const auto startMilliseconds = static_cast<std::int64_t>(EpochSeconds() * 1000);
    std::vector<std::unique_ptr<Session>> sessions;
    for (int i = 0; i < options.senders; ++i)
        sessions.push_back(std::make_unique<Session>(options, i, startMilliseconds));

    const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
    std::atomic<double> firstSent{0};
    std::atomic<double> processorAtStart{0};
    std::atomic<int> failures{0};
    std::barrier opened(options.senders, [&]() noexcept {
        processorAtStart = ProcessorSeconds();
        firstSent = EpochSeconds();
    });
    std::vector<std::thread> threads;
    for (auto& session : sessions)
        threads.emplace_back([&, s = session.get()] {
            try {
                s->Open(deadline);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "RelpSender: %s\n", e.what());
                ++failures;
            }
            opened.arrive_and_wait();
            if (failures > 0)
                return;
            try {
                s->Run(deadline);
                s->Close(deadline);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "RelpSender: %s\n", e.what());
                ++failures;
            }
        });
    for (auto& thread : threads)
        thread.join();

    std::uint64_t answered = 0;
    double lastAnswer = firstSent;
    for (const auto& session : sessions) {
        answered += session->Answered();
        lastAnswer = std::max(lastAnswer, session->LastAnswer());
    }
    const double seconds = lastAnswer - firstSent;
    std::printf("FIRST_SENT=%.3f\nLAST_ANSWER=%.3f\nANSWER_SECONDS=%.3f\nANSWERED=%llu\nRATE=%.0f\nSENDER_CPU=%.2f\n",
                firstSent.load(), lastAnswer, seconds, static_cast<unsigned long long>(answered),
                seconds > 0 ? static_cast<double>(answered) / seconds : 0.0, ProcessorSeconds() - processorAtStart);
    return failures > 0 ? 1 : 0;
}
