#include "tools/zintarctl/WebRequests.h"

#include <charconv>

#include <nlohmann/json.hpp>

#include "tools/zintarctl/MessageOutput.h"
#include "util/TextHelpers.h"
#include "util/TimeStamps.h"

namespace ZintarCtl {

using ZintarUtil::MessageRecord;
using ZintarUtil::UsageError;

namespace {

std::uint32_t Number(std::string_view name, std::string_view text, std::uint32_t limit)
{
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value > limit)
        throw UsageError(std::string(name) + " needs a number from 0 to " + std::to_string(limit) + ", not '" +
                         std::string(text) + "'");
    return value;
}

// "host:port" → host as written and port; nothing for the port when it is missing.
std::pair<std::string_view, std::string_view> SplitAuthority(std::string_view text)
{
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find(']', colon) != std::string_view::npos)
        return {text, {}};
    return {text.substr(0, colon), text.substr(colon + 1)};
}

bool IsIpLiteral(std::string_view host)
{
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        return host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1;
    int dots = 0;
    for (char c : host)
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    return dots == 3;
}

bool IsLoopback(std::string_view host)
{
    return host.starts_with("127.") || host == "[::1]";
}

bool IsWildcard(std::string_view host)
{
    return host == "0.0.0.0" || host == "[::]";
}

std::string Hex(const std::uint8_t* bytes, std::size_t count)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += {kDigits[bytes[i] >> 4], kDigits[bytes[i] & 15]};
    return text;
}

nlohmann::json MessageObject(const MessageRecord& record)
{
    const ZintarUtil::LogMessage& m = record.message;
    nlohmann::json object = MessageJson(record);
    object["weekday"] = m.timeStamp.weekday;
    object["leading"] = Hex(m.leading, sizeof m.leading);
    object["trailing"] = Hex(m.trailing, sizeof m.trailing);
    return object;
}

}  // namespace

ListenAddress ParseListenAddress(const std::string& text)
{
    auto [host, port] = SplitAuthority(text);
    if (host == "localhost")
        host = "127.0.0.1";
    if (!IsIpLiteral(host) || port.empty())
        throw UsageError("--listen needs ADDRESS:PORT with an IP address, for example 127.0.0.1:8080, not '" + text +
                         "'");
    return {std::string(host), static_cast<std::uint16_t>(Number("--listen's port", port, 65535))};
}

bool HostAllowed(std::string_view hostHeader, const ListenAddress& listen, std::uint16_t port)
{
    const auto [host, portText] = SplitAuthority(hostHeader);
    // Browsers leave the scheme's own port out of the Host header.
    const bool portMatches = portText == std::to_string(port) || (portText.empty() && port == 80);
    if (!portMatches || host.empty())
        return false;
    const std::string lower = ZintarUtil::ToLowerAscii(std::string(host));
    if (lower == ZintarUtil::ToLowerAscii(listen.host))
        return true;
    if (lower == "localhost")
        return IsLoopback(listen.host) || IsWildcard(listen.host);
    return IsWildcard(listen.host) && IsIpLiteral(lower);
}

std::string DecodeQueryText(std::string_view text)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned value = 0;
        if (text[i] == '+')
            decoded += ' ';
        else if (text[i] == '%' && i + 2 < text.size() &&
                 std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr == text.data() + i + 3) {
            decoded += static_cast<char>(value);
            i += 2;
        } else
            decoded += text[i];
    }
    return decoded;
}

CtlCommand CommandOfQuery(std::string_view query)
{
    CtlCommand command;
    command.verb = Verb::Read;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t equals = pair.find('=');
        const std::string name = DecodeQueryText(pair.substr(0, equals));
        const std::string value = equals == std::string_view::npos ? "" : DecodeQueryText(pair.substr(equals + 1));
        if (value.empty() && name != "utc")
            continue;  // an empty field of a form selects nothing
        if (name == "n")
            command.last = Number("n", value, 0xFFFFFFFFu);
        else if (name == "since")
            command.since = value;
        else if (name == "until")
            command.until = value;
        else if (name == "type")
            command.types = ParseTypeList(value);
        else if (name == "text")
            command.textPrefix = value;
        else if (name == "grep")
            command.grep = value;
        else if (name == "utc")
            command.utc = value != "0";
        else if (name == "format") {
            if (value != "json" && value != "jsonl" && value != "csv")
                throw UsageError("format is json, jsonl or csv, not '" + value + "'");
            command.format = value == "csv" ? Format::Csv : value == "jsonl" ? Format::Json : Format::Text;
        }
    }
    return command;
}

std::string MessagesJson(const std::vector<MessageRecord>& records)
{
    nlohmann::json list = nlohmann::json::array();
    for (const MessageRecord& record : records)
        list.push_back(MessageObject(record));
    return JsonLine(list);
}

std::string StatusJson(const StatusReport& report, const std::string& source)
{
    nlohmann::json status = {{"service", report.stateText}, {"answered", report.answered}, {"source", source}};
    if (const auto& s = report.settings)
        status["settings"] = {{"maxMessage", s->maxMessage},
                              {"devicePollRate", s->devicePollRate},
                              {"saveRate", s->saveRate},
                              {"typeFilter", TypesText(s->typeFilter)},
                              {"logFile", report.logFile},
                              {"logFileInUse", s->logFileInUse},
                              {"logFileFallback", s->logFileFallback},
                              {"deviceOpen", s->deviceOpen}};
    if (const auto& h = report.header)
        status["log"] = {{"capacity", h->capacity},     {"messages", h->messageCount},
                         {"generation", h->generation}, {"updates", h->updateCount},
                         {"readers", h->readCount},     {"serverRunning", h->serverRunning != 0}};
    return JsonLine(status);
}

std::string MessagesDownload(const std::vector<MessageRecord>& records, Format format)
{
    // CSV ends its lines as RFC 4180 says; JSON lines with a line feed.
    const char* lineEnd = format == Format::Csv ? "\r\n" : "\n";
    std::string text = HeaderLine(format);
    if (!text.empty())
        text += lineEnd;
    for (const MessageRecord& record : records)
        text += MessageLine(record, format) + lineEnd;
    return text;
}

std::string StreamEvent(std::string_view name, std::string_view data)
{
    std::string event = "event: ";
    event.append(name).append("\ndata: ").append(data).append("\n\n");
    return event;
}

}  // namespace ZintarCtl
