// The command line of zintar-feed, and the messages it makes. Kept apart from the device calls so
// that it is tested natively.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/LogFileFormat.h"
#include "util/UsageError.h"

namespace ZintarFeed {

enum class Command { Push, Read, Stats };

struct FeedOptions {
    Command command = Command::Push;
    std::uint32_t type = 0;
    std::string text = "zintar-feed message {n}";
    std::string auxText;
    std::uint64_t count = 1;
    std::optional<double> rate;                       // messages per second; none: as fast as the device takes them
    std::optional<ZintarUtil::TimeFields> timeStamp;  // none: the local time of each message
    std::uint32_t batch = 256;                        // messages per push request at most
    std::uint32_t busyTimeout = 10000;                // milliseconds to keep retrying a full device queue
    std::uint64_t readLimit = UINT64_MAX;             // read: stop after this many messages
    std::string scenario;                             // "plant": messages of every type from a few named sources
};

// The arguments after the program name (parsed with CLI11), or nothing when help was asked for
// ("help", "/?" or --help) and printed to `help`. Throws ZintarUtil::UsageError.
std::optional<FeedOptions> ParseFeedOptions(const std::vector<std::string>& args, std::string& help);

// Message number `index` of a push: type and texts from the options, "{n}" in either text
// replaced by the index, the given time stamp.
ZintarUtil::LogMessage BuildMessage(const FeedOptions& options, std::uint64_t index,
                                    const ZintarUtil::TimeFields& timeStamp);

// One line for a message read back: "YYYY-MM-DD hh:mm:ss.mmm type T text | auxText".
std::string DescribeMessage(const ZintarUtil::LogMessage& message);

}  // namespace ZintarFeed
