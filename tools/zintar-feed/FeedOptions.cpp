#include "tools/zintar-feed/FeedOptions.h"

#include <algorithm>
#include <cstring>

#include "util/TimeStamps.h"
#include "util/ToolFrame.h"

namespace ZintarFeed {

using ZintarUtil::LogMessage;
using ZintarUtil::TimeFields;
using ZintarUtil::UsageError;

namespace {

// The characters of a message's text or auxiliary text, as help and refusals say it.
const std::string kTextLimit = std::to_string(ZintarUtil::kTextFieldSize - 1);

double ParseRate(const std::string& value)
{
    char* end = nullptr;
    const double rate = std::strtod(value.c_str(), &end);
    if (value.empty() || end != value.c_str() + value.size() || !(rate > 0) || rate > 1e9)
        throw UsageError("--rate needs a number of messages per second above 0, or 'max'");
    return rate;
}

std::string Expand(const std::string& pattern, std::uint64_t index)
{
    std::string result;
    const std::string number = std::to_string(index);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern.compare(i, 3, "{n}") == 0) {
            result += number;
            i += 2;
        } else {
            result += pattern[i];
        }
    }
    return result.substr(0, ZintarUtil::kTextFieldSize - 1);
}

// The command line being read, and what its options hold until they are finished into it.
struct Reading {
    FeedOptions options;
    std::string rate = "max", time;
};

ZintarUtil::FinishVerb PushOptions(CLI::App& push, Reading& reading)
{
    FeedOptions& o = reading.options;
    push.add_option("--type", o.type, "message type (default 0)")->check(CLI::Range(0u, ZintarUtil::kMessageTypes - 1));
    push.add_option("--text", o.text,
                    "message text, at most " + kTextLimit + " characters; {n} stands for the message number");
    push.add_option("--aux", o.auxText, "auxiliary text, at most " + kTextLimit + " characters; {n} as above");
    push.add_option("--count", o.count, "how many messages (default 1)")
        ->check(CLI::Range(std::uint64_t{0}, UINT64_MAX / 2));
    push.add_option("--rate", reading.rate, "messages per second, or 'max' (the default) for as fast as possible");
    push.add_option("--time", reading.time,
                    "time stamp YYYY-MM-DDThh:mm:ss[.mmm] of every message (default: local time)");
    push.add_option("--batch", o.batch, "messages per push request (default 256)")->check(CLI::Range(1u, 4096u));
    push.add_option("--busy-timeout", o.busyTimeout, "ms to retry while the device queue is full (default 10000)")
        ->check(CLI::Range(0u, 0xFFFFFFFEu));
    push.add_option("--scenario", o.scenario,
                    "'plant': every type from a few named sources, in place of --type, "
                    "--text and --aux")
        ->check(CLI::IsMember({"plant"}));
    return [&reading] {
        FeedOptions& o = reading.options;
        if (reading.rate != "max")
            o.rate = ParseRate(reading.rate);
        if (!reading.time.empty()) {
            o.timeStamp = ZintarUtil::ParseTimeStamp(reading.time);
            if (!o.timeStamp)
                throw UsageError("--time needs YYYY-MM-DDThh:mm:ss[.mmm], not '" + reading.time + "'");
        }
        for (const std::string* text : {&o.text, &o.auxText})
            if (text->size() > ZintarUtil::kTextFieldSize - 1)
                throw UsageError("--text and --aux hold at most " + kTextLimit + " characters");
    };
}

ZintarUtil::FinishVerb ReadOptions(CLI::App& read, Reading& reading)
{
    read.add_option("--max", reading.options.readLimit, "stop after this many messages");
    return {};
}

// zintar-feed's verbs, one row each, in the order its help lists them.
constexpr ZintarUtil::VerbRow<Command, Reading> kVerbs[] = {
    {Command::Push, "push", "queue messages in the Zintar device", PushOptions},
    {Command::Read, "read", "take messages out of the device and print them", ReadOptions},
    {Command::Stats, "stats", "print the device's counters"},
};

}  // namespace

std::optional<FeedOptions> ParseFeedOptions(const std::vector<std::string>& args, std::string& help)
{
    Reading reading;
    CLI::App app{"zintar-feed: feeds the Zintar device, reads it back, prints its counters.\n"
                 "Exit codes: 0 done, 1 device missing, 2 bad command line, 3 device queue stayed full, 4 other "
                 "device failure."};
    const std::optional<Command> command = ZintarUtil::ParseVerbs(app, kVerbs, {}, reading, args, help);
    if (!command)
        return std::nullopt;
    reading.options.command = *command;
    return reading.options;
}

LogMessage BuildMessage(const FeedOptions& options, std::uint64_t index, const TimeFields& timeStamp)
{
    LogMessage message{};
    std::memcpy(message.leading, &index, sizeof message.leading);  // lets a reader check order
    message.timeStamp = timeStamp;
    message.type = options.type;
    std::string text = Expand(options.text, index);
    std::string auxText = Expand(options.auxText, index);
    if (!options.scenario.empty()) {
        // Sources picked in a fixed but irregular order, each with its own type and texts.
        struct Source {
            std::uint32_t type;
            const char* text;
            const char* auxText;
        };
        static const Source plant[] = {
            {0, "Camera 1: frame {n} captured", "usb\\vid_046d&pid_0825"},
            {0, "Camera 2: frame {n} captured", "usb\\vid_046d&pid_0826"},
            {1, "Conveyor: cycle {n} done, belt slipping", "line A"},
            {1, "Scanner: label {n} read", "com3"},
            {2, "Disk D: 12% free after write {n}", "\\Device\\HarddiskVolume2"},
            {3, "Scanner: no answer to request {n}, retrying", "com3"},
            {0, "Heartbeat {n}", "zintar"},
        };
        const Source& source = plant[(index * 7919 + index / 5) % (sizeof plant / sizeof plant[0])];
        message.type = source.type;
        text = Expand(source.text, index);
        auxText = Expand(source.auxText, index);
    }
    std::memcpy(message.text, text.data(), text.size());
    std::memcpy(message.auxText, auxText.data(), auxText.size());
    return message;
}

std::string DescribeMessage(const LogMessage& message)
{
    const std::size_t textLength = strnlen(message.text, ZintarUtil::kTextFieldSize);
    const std::size_t auxLength = strnlen(message.auxText, ZintarUtil::kTextFieldSize);
    TimeFields timeStamp;
    std::memcpy(&timeStamp, &message.timeStamp, sizeof timeStamp);  // the record may be unaligned
    std::string line = ZintarUtil::TimeStampText(timeStamp) + " type " + std::to_string(message.type) + " ";
    line.append(message.text, textLength);
    if (auxLength > 0) {
        line += " | ";
        line.append(message.auxText, auxLength);
    }
    return line;
}

}  // namespace ZintarFeed
