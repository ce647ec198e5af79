#include "FeedOptions.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ZintarFeed {

using ZintarUtil::LogMessage;
using ZintarUtil::TimeFields;

const char* const kUsage =
    "usage: zintar-feed push [options]   queue messages in the Zintar device\n"
    "       zintar-feed read [--max N]   take messages out of the device and print them\n"
    "       zintar-feed stats            print the device's counters\n"
    "push options:\n"
    "  --type N          message type, 0 to 3 (default 0)\n"
    "  --text TEXT       message text, at most 256 characters; {n} stands for the message number\n"
    "  --aux TEXT        auxiliary text, at most 256 characters; {n} as above\n"
    "  --count N         how many messages (default 1)\n"
    "  --rate R          messages per second, or 'max' for as fast as possible (default max)\n"
    "  --time STAMP      time stamp YYYY-MM-DDThh:mm:ss[.mmm] for every message (default: local time)\n"
    "  --batch N         messages per push request, 1 to 4096 (default 256)\n"
    "  --busy-timeout MS how long to retry while the device queue is full (default 10000)\n"
    "  --scenario plant  messages of every type from a few named sources of a small plant, in place\n"
    "                    of --type, --text and --aux\n"
    "exit codes: 0 done, 1 bad command line, 2 device missing, 3 device queue stayed full,\n"
    "            4 other device failure\n";

namespace {

std::uint64_t ParseUnsigned(const std::string& option, const std::string& value, std::uint64_t max)
{
    if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 19)
        throw UsageError(option + " needs a whole number, not '" + value + "'");
    const std::uint64_t number = std::stoull(value);
    if (number > max)
        throw UsageError(option + " must be at most " + std::to_string(max));
    return number;
}

double ParseRate(const std::string& value)
{
    char* end = nullptr;
    const double rate = std::strtod(value.c_str(), &end);
    if (value.empty() || end != value.c_str() + value.size() || !(rate > 0) || rate > 1e9)
        throw UsageError("--rate needs a number of messages per second above 0, or 'max'");
    return rate;
}

std::string CheckedText(const std::string& option, const std::string& value)
{
    if (value.size() > ZintarUtil::kTextFieldSize - 1)
        throw UsageError(option + " is longer than 256 characters");
    if (value.find('\0') != std::string::npos)
        throw UsageError(option + " holds a NUL character");
    return value;
}

Command ParseCommand(const std::string& word)
{
    if (word == "push")
        return Command::Push;
    if (word == "read")
        return Command::Read;
    if (word == "stats")
        return Command::Stats;
    if (word == "help" || word == "--help" || word == "-h" || word == "/?")
        return Command::Help;
    throw UsageError("unknown command '" + word + "'");
}

bool AllowedFor(Command command, const std::string& option)
{
    if (command == Command::Push)
        return option != "--max";
    if (command == Command::Read)
        return option == "--max";
    return false;
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

}  // namespace

FeedOptions ParseFeedOptions(const std::vector<std::string>& args)
{
    FeedOptions options;
    if (args.empty())
        throw UsageError("no command given");
    options.command = ParseCommand(args[0]);
    for (std::size_t i = 1; i < args.size(); i += 2) {
        const std::string& option = args[i];
        if (option.rfind("--", 0) != 0)
            throw UsageError("unexpected argument '" + option + "'");
        if (i + 1 >= args.size())
            throw UsageError(option + " needs a value");
        const std::string& value = args[i + 1];
        if (!AllowedFor(options.command, option))
            throw UsageError("unknown option '" + option + "' for " + args[0]);
        if (option == "--type")
            options.type = static_cast<std::uint32_t>(ParseUnsigned(option, value, 3));
        else if (option == "--text")
            options.text = CheckedText(option, value);
        else if (option == "--aux")
            options.auxText = CheckedText(option, value);
        else if (option == "--count")
            options.count = ParseUnsigned(option, value, UINT64_MAX / 2);
        else if (option == "--rate")
            options.rate = value == "max" ? std::nullopt : std::optional<double>(ParseRate(value));
        else if (option == "--time")
            options.timeStamp = ParseTimeStamp(value);
        else if (option == "--scenario" && value == "plant")
            options.scenario = value;
        else if (option == "--scenario")
            throw UsageError("--scenario knows only 'plant', not '" + value + "'");
        else if (option == "--batch")
            options.batch = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, ParseUnsigned(option, value, 4096)));
        else if (option == "--busy-timeout")
            options.busyTimeout = static_cast<std::uint32_t>(ParseUnsigned(option, value, 0xFFFFFFFE));
        else if (option == "--max")
            options.readLimit = ParseUnsigned(option, value, UINT64_MAX);
        else
            throw UsageError("unknown option '" + option + "'");
    }
    return options;
}

std::int16_t WeekdayOf(int year, int month, int day)
{
    // Sakamoto's method; 0 is Sunday.
    static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3)
        year -= 1;
    return static_cast<std::int16_t>((year + year / 4 - year / 100 + year / 400 + offsets[month - 1] + day) % 7);
}

namespace {

// The digits text[at .. at + count), or -1 when any of them is not a digit: no sign, no blank.
int FixedDigits(const std::string& text, std::size_t at, std::size_t count)
{
    if (at + count > text.size())
        return -1;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

int DaysInMonth(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

// YYYY-MM-DDThh:mm:ss[.f[f[f]]]: every field has exactly its digits, and ' ' may stand for 'T'.
TimeFields ParseTimeStamp(const std::string& text)
{
    const int year = FixedDigits(text, 0, 4), month = FixedDigits(text, 5, 2), day = FixedDigits(text, 8, 2);
    const int hour = FixedDigits(text, 11, 2), minute = FixedDigits(text, 14, 2), second = FixedDigits(text, 17, 2);
    bool valid = text.size() >= 19 && text[4] == '-' && text[7] == '-' && (text[10] == 'T' || text[10] == ' ') &&
                 text[13] == ':' && text[16] == ':';
    int milliseconds = 0;
    if (valid && text.size() > 19) {
        // A fraction of a second: ".5" is 500 ms, ".05" 50 ms, ".005" 5 ms.
        const std::size_t digits = text.size() - 20;
        milliseconds = text[19] == '.' && digits >= 1 && digits <= 3 ? FixedDigits(text + "00", 20, 3) : -1;
    }
    valid = valid && year >= 1601 && year <= 30827 && month >= 1 && month <= 12 && day >= 1 &&
            day <= DaysInMonth(year, month) && hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 &&
            second >= 0 && second <= 59 && milliseconds >= 0;
    if (!valid)
        throw UsageError("--time needs YYYY-MM-DDThh:mm:ss[.mmm], not '" + text + "'");
    return TimeFields{static_cast<std::int16_t>(year),   static_cast<std::int16_t>(month),
                      static_cast<std::int16_t>(day),    static_cast<std::int16_t>(hour),
                      static_cast<std::int16_t>(minute), static_cast<std::int16_t>(second),
                      static_cast<std::int16_t>(milliseconds), WeekdayOf(year, month, day)};
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
    TimeFields t;
    std::memcpy(&t, &message.timeStamp, sizeof t);
    const std::size_t textLength = strnlen(message.text, ZintarUtil::kTextFieldSize);
    const std::size_t auxLength = strnlen(message.auxText, ZintarUtil::kTextFieldSize);
    char head[96];
    std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03d type %u ", t.year, t.month,
                  t.day, t.hour, t.minute, t.second, t.milliseconds, static_cast<unsigned>(message.type));
    std::string line = head;
    line.append(message.text, textLength);
    if (auxLength > 0) {
        line += " | ";
        line.append(message.auxText, auxLength);
    }
    return line;
}

}  // namespace ZintarFeed
