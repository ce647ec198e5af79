#include "util/ForwardState.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <sstream>

#include "util/SyslogRecord.h"

namespace ZintarUtil {

namespace {

std::optional<std::uint64_t> Number(const std::map<std::string, std::string>& fields, const std::string& name,
                                    int base = 10)
{
    const auto found = fields.find(name);
    if (found == fields.end() || found->second.empty() || found->second.size() > 20 ||
        found->second.find_first_not_of(base == 16 ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
        return std::nullopt;
    errno = 0;
    const unsigned long long value = std::strtoull(found->second.c_str(), nullptr, base);
    if (errno != 0)
        return std::nullopt;
    return value;
}

std::string Text(const std::map<std::string, std::string>& fields, const std::string& name)
{
    const auto found = fields.find(name);
    return found == fields.end() ? std::string() : found->second;
}

// A value on one line: line breaks would end it early.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

// After the lost count: the bursts that overwrote an unknown number besides.
std::string UncountedText(const ForwardState& s)
{
    if (s.uncountedLosses == 0)
        return "";
    return ", and an unknown number in " + std::to_string(s.uncountedLosses) +
           (s.uncountedLosses == 1 ? " burst" : " bursts") + " larger than the log";
}

}  // namespace

const char* RevocationText(RevocationCheck check)
{
    switch (check) {
    case RevocationCheck::Off:
        return "off";
    case RevocationCheck::Hard:
        return "hard";
    case RevocationCheck::Soft:
        break;
    }
    return "soft";
}

std::optional<RevocationCheck> ParseRevocation(std::string_view text)
{
    for (const RevocationCheck check : {RevocationCheck::Off, RevocationCheck::Soft, RevocationCheck::Hard})
        if (text == RevocationText(check))
            return check;
    return std::nullopt;
}

std::string FormatForwardState(const ForwardState& s)
{
    std::ostringstream out;
    out << "# zintar-forward's resume point and status; replaced whole, at most once a second\n";
    if (s.acknowledged)
        out << "generation=" << s.acknowledged->generation << "\nsequence=" << s.acknowledged->sequence
            << "\ndigest=" << DigestText(s.acknowledged->digest) << "\n";
    out << "acknowledged-at=" << OneLine(s.acknowledgedAt) << "\nlost=" << s.lost
        << "\nlost-uncounted=" << s.uncountedLosses << "\nforwarded=" << s.forwarded << "\ntarget=" << OneLine(s.target)
        << "\nconnected=" << (s.connected ? "yes" : "no") << "\nprotocol=" << OneLine(s.protocol)
        << "\nproblem=" << OneLine(s.problem) << "\nwarning=" << OneLine(s.warning) << "\nnotice=" << OneLine(s.notice)
        << "\nbehind=" << s.behind << "\nupdated-at=" << OneLine(s.updatedAt) << "\n";
    return out.str();
}

ForwardState ParseForwardState(const std::string& text)
{
    std::map<std::string, std::string> fields;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::size_t equals = line.find('=');
        if (!line.empty() && line[0] != '#' && equals != std::string::npos)
            fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    ForwardState s;
    const auto generation = Number(fields, "generation"), sequence = Number(fields, "sequence");
    const auto digest = Text(fields, "digest").size() == 16 ? Number(fields, "digest", 16) : std::nullopt;
    if (generation && sequence && digest)
        s.acknowledged = ResumePoint{*generation, *sequence, *digest};
    s.acknowledgedAt = Text(fields, "acknowledged-at");
    s.lost = Number(fields, "lost").value_or(0);
    s.uncountedLosses = Number(fields, "lost-uncounted").value_or(0);
    s.forwarded = Number(fields, "forwarded").value_or(0);
    s.target = Text(fields, "target");
    s.connected = Text(fields, "connected") == "yes";
    s.protocol = Text(fields, "protocol");
    s.problem = Text(fields, "problem");
    s.warning = Text(fields, "warning");
    s.notice = Text(fields, "notice");
    s.behind = Number(fields, "behind").value_or(0);
    s.updatedAt = Text(fields, "updated-at");
    return s;
}

std::string ForwardStatusText(const ForwardState& s, bool running)
{
    std::ostringstream out;
    out << "forwarder      " << (running ? "running" : "not running") << ", to " << s.target << "\n";
    out << "connection     " << (s.connected ? "connected" : "not connected")
        << (s.problem.empty() ? "" : ": " + s.problem) << "\n";
    if (s.connected && !s.protocol.empty())
        out << "protocol       " << s.protocol << "\n";
    if (!s.warning.empty())
        out << "warning        " << s.warning << "\n";
    if (!s.notice.empty())
        out << "notice         " << s.notice << "\n";
    if (s.acknowledged)
        out << "acknowledged   sequence " << s.acknowledged->sequence << " of generation " << s.acknowledged->generation
            << (s.acknowledgedAt.empty() ? "" : " at " + s.acknowledgedAt) << "\n";
    else
        out << "acknowledged   nothing yet\n";
    out << "behind         " << s.behind << " messages\n"
        << "lost           " << s.lost << " messages overwritten before they could be forwarded" << UncountedText(s)
        << "\n"
        << "updated        " << s.updatedAt << "\n";
    return out.str();
}

std::string ForwardStatusLine(const ForwardState& s)
{
    std::string line = (s.connected ? "connected to " : "not connected to ") + s.target;
    if (s.connected && !s.protocol.empty())
        line += " over " + s.protocol;
    if (!s.connected && !s.problem.empty())
        line += " (" + s.problem + ")";
    line += s.acknowledged ? ", acknowledged sequence " + std::to_string(s.acknowledged->sequence) +
                                 (s.acknowledgedAt.empty() ? "" : " at " + s.acknowledgedAt)
                           : ", nothing acknowledged yet";
    line += ", " + std::to_string(s.behind) + " behind, " + std::to_string(s.lost) + " lost" + UncountedText(s);
    if (!s.warning.empty())
        line += "; warning: " + s.warning;
    return line;
}

}  // namespace ZintarUtil
