// The command line of zintar-feed, and the messages it makes. Kept apart from the device calls so
// that it is tested natively.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "LogFileFormat.h"

namespace ZintarFeed {

enum class Command { Push, Read, Stats, Help };

struct FeedOptions {
    Command command = Command::Help;
    std::uint32_t type = 0;
    std::string text = "zintar-feed message {n}";
    std::string auxText;
    std::uint64_t count = 1;
    std::optional<double> rate;  // messages per second; none: as fast as the device takes them
    std::optional<ZintarUtil::TimeFields> timeStamp;  // none: the local time of each message
    std::uint32_t batch = 256;   // messages per push request at most
    std::uint32_t busyTimeout = 10000;  // milliseconds to keep retrying a full device queue
    std::uint64_t readLimit = UINT64_MAX;  // read: stop after this many messages
    std::string scenario;  // "plant": messages of every type from a few named sources
};

// A command line that cannot be carried out; the text says why, for the user.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The arguments after the program name (parsed with CLI11); `help` receives the help text, which
// the Help command prints. Throws UsageError.
FeedOptions ParseFeedOptions(const std::vector<std::string>& args, std::string& help);

// "YYYY-MM-DDThh:mm:ss[.mmm]" (a blank may stand for the T). Throws UsageError.
ZintarUtil::TimeFields ParseTimeStamp(const std::string& text);

// 0 for Sunday, as TIME_FIELDS counts weekdays.
std::int16_t WeekdayOf(int year, int month, int day);

// Message number `index` of a push: type and texts from the options, "{n}" in either text
// replaced by the index, the given time stamp.
ZintarUtil::LogMessage BuildMessage(const FeedOptions& options, std::uint64_t index,
                                    const ZintarUtil::TimeFields& timeStamp);

// One line for a message read back: "YYYY-MM-DD hh:mm:ss.mmm type T text | auxText".
std::string DescribeMessage(const ZintarUtil::LogMessage& message);

}  // namespace ZintarFeed
