#include "tools/zintar-forward/RelpProtocol.h"

#include "util/Exceptions.h"

namespace ZintarForward {

using ZintarUtil::Exceptions::ExceptionBase;

namespace {

constexpr std::size_t kMaxTxnrDigits = 9;
constexpr std::size_t kMaxCommandLength = 32;
constexpr std::size_t kMaxDataLengthDigits = 9;

[[noreturn]] void Malformed(const std::string& why)
{
    throw ExceptionBase("The collector sent a malformed RELP frame: " + why);
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Digits at `at`, at most `maxDigits`, followed by a blank (or, for the data length, a line
// break). Returns the number, or none when the buffer ends first.
std::optional<std::uint64_t> ReadNumber(const std::string& buffer, std::size_t& at, std::size_t maxDigits,
                                        const char* what)
{
    std::uint64_t value = 0;
    std::size_t digits = 0;
    for (; at < buffer.size() && IsDigit(buffer[at]); ++at) {
        if (++digits > maxDigits)
            Malformed(std::string(what) + " has more than " + std::to_string(maxDigits) + " digits");
        value = value * 10 + static_cast<std::uint64_t>(buffer[at] - '0');
    }
    if (at == buffer.size())
        return std::nullopt;
    if (digits == 0)
        Malformed(std::string(what) + " is missing");
    return value;
}

}  // namespace

std::string RelpFrame(std::uint32_t txnr, std::string_view command, std::string_view data)
{
    std::string frame = std::to_string(txnr) + " " + std::string(command) + " " + std::to_string(data.size());
    if (!data.empty()) {
        frame += ' ';
        frame += data;
    }
    frame += '\n';
    return frame;
}

std::string RelpOpenOffer()
{
    return "relp_version=0\nrelp_software=zintar-forward\ncommands=syslog";
}

std::optional<RelpReply> RelpReplyReader::Next()
{
    if (consumed > 0 && consumed >= buffer.size() / 2) {
        buffer.erase(0, consumed);  // now and then, so that many small replies cost linear time
        consumed = 0;
    }
    std::size_t at = consumed;
    const auto txnr = ReadNumber(buffer, at, kMaxTxnrDigits, "the transaction number");
    if (!txnr)
        return std::nullopt;
    if (buffer[at++] != ' ')
        Malformed("no blank after the transaction number");
    const std::size_t commandStart = at;
    for (; at < buffer.size() && buffer[at] >= 'a' && buffer[at] <= 'z'; ++at)
        if (at - commandStart >= kMaxCommandLength)
            Malformed("the command is longer than 32 letters");
    if (at == buffer.size())
        return std::nullopt;
    if (at == commandStart || buffer[at] != ' ')
        Malformed("no command of lowercase letters after the transaction number");
    RelpReply reply;
    reply.txnr = static_cast<std::uint32_t>(*txnr);
    reply.command = buffer.substr(commandStart, at - commandStart);
    ++at;
    const auto length = ReadNumber(buffer, at, kMaxDataLengthDigits, "the data length");
    if (!length)
        return std::nullopt;
    if (*length > kMaxData)
        Malformed("it announces " + std::to_string(*length) + " bytes of data");
    if (*length > 0 && buffer[at++] != ' ')
        Malformed("no blank between the data length and the data");
    if (buffer.size() < at + *length + 1)
        return std::nullopt;
    reply.data = buffer.substr(at, *length);
    at += *length;
    if (buffer[at++] != '\n')
        Malformed("the frame does not end with a line break after its data");
    consumed = at;
    return reply;
}

RelpStatus ParseRelpStatus(const std::string& data)
{
    if (data.size() < 3 || !IsDigit(data[0]) || !IsDigit(data[1]) || !IsDigit(data[2]) ||
        (data.size() > 3 && data[3] != ' ' && data[3] != '\n'))
        throw ExceptionBase("The collector sent a malformed RELP response: no three-digit status in '" +
                            data.substr(0, 40) + "'");
    RelpStatus status;
    status.code = (data[0] - '0') * 100 + (data[1] - '0') * 10 + (data[2] - '0');
    const std::size_t lineEnd = data.find('\n');
    if (data.size() > 4 && data[3] == ' ')
        status.text = data.substr(4, lineEnd == std::string::npos ? std::string::npos : lineEnd - 4);
    return status;
}

}  // namespace ZintarForward
