#include "tools/zintar-fleet/IncomingRecord.h"

#include <charconv>
#include <optional>

namespace ZintarFleet {

namespace {

constexpr std::string_view kElementId = "zintar@32473";
constexpr std::int64_t kMaxBigint = INT64_MAX;

// Thrown inside the parser with the reason; caught once, where the record is set aside.
struct Refusal {
    std::string reason;
};

[[noreturn]] void Refuse(std::string reason)
{
    throw Refusal{std::move(reason)};
}

// Reads the fields of a record left to right.
class Cursor {
public:
    explicit Cursor(std::string_view text) : rest(text) {}

    bool AtEnd() const { return rest.empty(); }
    std::string_view Rest() const { return rest; }

    // The next field up to a space (consumed) or the end.
    std::string_view Field(const char* name)
    {
        const size_t space = rest.find(' ');
        const std::string_view field = rest.substr(0, space);
        if (field.empty())
            Refuse(std::string("no ") + name);
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
        return field;
    }

    bool Take(char c)
    {
        if (rest.empty() || rest.front() != c)
            return false;
        rest.remove_prefix(1);
        return true;
    }

    char Next()
    {
        if (rest.empty())
            Refuse("the structured data ends early");
        const char c = rest.front();
        rest.remove_prefix(1);
        return c;
    }

private:
    std::string_view rest;
};

std::optional<std::int64_t> Number(std::string_view digits, std::int64_t max)
{
    if (digits.empty() || digits.size() > 19)
        return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size() || value > static_cast<std::uint64_t>(max))
        return std::nullopt;
    return static_cast<std::int64_t>(value);
}

int Digits(std::string_view text, size_t at, size_t count)
{
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

bool IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// RFC 3339 as RFC 5424 restricts it: YYYY-MM-DDThh:mm:ss[.1 to 6 digits](Z|+hh:mm|-hh:mm), a real
// date from year 1, and an offset of at most 15:59, the most PostgreSQL accepts. Returns the UTC day.
std::int32_t CheckTimeStamp(std::string_view time)
{
    const int year = Digits(time, 0, 4), month = Digits(time, 5, 2), day = Digits(time, 8, 2);
    const int hour = Digits(time, 11, 2), minute = Digits(time, 14, 2), second = Digits(time, 17, 2);
    if (time.size() < 20 || time[4] != '-' || time[7] != '-' || time[10] != 'T' || time[13] != ':' || time[16] != ':' ||
        year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59)
        Refuse("the time stamp is not an RFC 3339 time");
    size_t at = 19;
    if (time[at] == '.') {
        size_t digits = 0;
        while (at + 1 + digits < time.size() && time[at + 1 + digits] >= '0' && time[at + 1 + digits] <= '9')
            ++digits;
        if (digits < 1 || digits > 6)
            Refuse("the time stamp's fraction has not 1 to 6 digits");
        at += 1 + digits;
    }
    int offsetMinutes = 0;
    const std::string_view zone = time.substr(at);
    if (zone != "Z") {
        const int offsetHour = Digits(zone, 1, 2), offsetMinute = Digits(zone, 4, 2);
        if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':' || offsetHour < 0 ||
            offsetHour > 15 || offsetMinute < 0 || offsetMinute > 59)
            Refuse("the time stamp's offset from UTC is not +hh:mm, -hh:mm or Z");
        offsetMinutes = (zone[0] == '-' ? -1 : 1) * (offsetHour * 60 + offsetMinute);
    }
    const int minuteOfDay = hour * 60 + minute - offsetMinutes;  // UTC, may leave the day
    return DaysFromCivil(year, month, day) + (minuteOfDay < 0 ? -1 : minuteOfDay >= 24 * 60 ? 1 : 0);
}

struct ZintarParameters {
    std::optional<std::string> aux, generation, sequence, digest, lost, exact;
};

// PARAM-VALUE between the quotes, with its escapes ('\"', '\\', '\]') undone.
std::string ParameterValue(Cursor& cursor)
{
    if (!cursor.Take('"'))
        Refuse("a structured-data value is not quoted");
    std::string value;
    for (char c = cursor.Next(); c != '"'; c = cursor.Next()) {
        if (c == '\\') {
            const char escaped = cursor.Next();
            if (escaped != '"' && escaped != '\\' && escaped != ']')
                value += c;
            value += escaped;
        } else {
            value += c;
        }
    }
    return value;
}

// STRUCTURED-DATA: one or more [ID PARAM="VALUE" ...], one of them the zintar element, whose
// parameters are kept; other elements are read past.
ZintarParameters StructuredData(Cursor& cursor)
{
    ZintarParameters zintar;
    if (!cursor.Take('['))
        Refuse("no zintar@32473 element");
    bool seenZintar = false;
    do {
        std::string id;
        char end = cursor.Next();
        for (; end != ' ' && end != ']'; end = cursor.Next())
            id += end;
        if (id.empty())
            Refuse("a structured-data element has no name");
        const bool isZintar = id == kElementId;
        if (isZintar && seenZintar)
            Refuse("two zintar@32473 elements");
        seenZintar = seenZintar || isZintar;
        for (bool open = end == ' '; open;) {
            std::string name;
            for (char c = cursor.Next(); c != '='; c = cursor.Next())
                name += c;
            std::string value = ParameterValue(cursor);
            std::optional<std::string>* slot = !isZintar              ? nullptr
                                               : name == "aux"        ? &zintar.aux
                                               : name == "generation" ? &zintar.generation
                                               : name == "sequence"   ? &zintar.sequence
                                               : name == "digest"     ? &zintar.digest
                                               : name == "lost"       ? &zintar.lost
                                               : name == "exact"      ? &zintar.exact
                                                                      : nullptr;
            if (slot && *slot)
                Refuse("the parameter " + name + " twice");
            if (slot)
                *slot = std::move(value);
            if (cursor.Take(']'))
                open = false;
            else if (!cursor.Take(' '))
                Refuse("a structured-data element is not closed");
        }
    } while (cursor.Take('['));
    if (!seenZintar)
        Refuse("no zintar@32473 element");
    return zintar;
}

std::int64_t Required(const std::optional<std::string>& value, const char* name, std::int64_t min = 0)
{
    if (!value)
        Refuse(std::string("no ") + name);
    const std::optional<std::int64_t> number = Number(*value, kMaxBigint);
    if (!number || *number < min)
        Refuse(std::string(name) + " is not a number from " + std::to_string(min) + " to 2^63 - 1");
    return *number;
}

bool IsDigest(const std::string& digest)
{
    if (digest.size() != 16)
        return false;
    for (char c : digest)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// MSG: after the space that ends the structured data; a UTF-8 byte order mark is not text.
std::string MessageText(Cursor& cursor)
{
    if (cursor.AtEnd())
        return {};
    if (!cursor.Take(' '))
        Refuse("no space after the structured data");
    std::string_view text = cursor.Rest();
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    return std::string(text);
}

void CheckText(std::string_view text, const char* what)
{
    if (!IsUtf8(text))
        Refuse(std::string("the ") + what + " is not UTF-8");
    if (text.find('\0') != std::string_view::npos)
        Refuse(std::string("the ") + what + " holds a NUL character");
}

IncomingRecord ParseRecord(std::string_view record, std::string& host)
{
    Cursor cursor(record);
    const std::string_view priority = cursor.Field("priority");
    const size_t close = priority.find('>');
    const std::optional<std::int64_t> value =
        close == std::string_view::npos ? std::nullopt : Number(priority.substr(1, close - 1), 191);
    if (priority.front() != '<' || close < 2 || close > 4 || !value || priority.substr(close + 1) != "1")
        Refuse("not an RFC 5424 record");
    const std::string_view time = cursor.Field("time stamp");
    host = std::string(cursor.Field("host name"));
    if (cursor.Field("APP-NAME") != "zintar")
        Refuse("not a zintar record (APP-NAME is not zintar)");
    cursor.Field("PROCID");
    const std::string_view msgid = cursor.Field("MSGID");
    if (host == "-" || host.size() > 255)
        Refuse("no host name");
    CheckText(host, "host name");
    const std::int32_t utcDay = CheckTimeStamp(time);
    const ZintarParameters zintar = StructuredData(cursor);
    std::string text = MessageText(cursor);
    CheckText(text, "text");

    if (msgid == "gap") {
        // A gap nobody could count (exact="false") owns at least `lost` messages, possibly none.
        if (zintar.exact && *zintar.exact != "true" && *zintar.exact != "false")
            Refuse("exact is neither true nor false");
        const bool exact = !zintar.exact || *zintar.exact == "true";
        IncomingGap gap{host, Required(zintar.generation, "generation"), Required(zintar.lost, "lost", exact ? 1 : 0),
                        std::string(time), std::move(text)};
        gap.exact = exact;
        return gap;
    }
    if (msgid.size() != 5 || msgid.substr(0, 4) != "type" || msgid[4] < '0' || msgid[4] > '3')
        Refuse("the MSGID is neither type0 to type3 nor gap");
    if (!zintar.digest || !IsDigest(*zintar.digest))
        Refuse("the digest is not 16 lowercase hex digits");
    if (!zintar.aux)
        Refuse("no aux");
    CheckText(*zintar.aux, "aux text");
    IncomingMessage message;
    message.host = host;
    message.sequence = Required(zintar.sequence, "sequence");
    message.generation = Required(zintar.generation, "generation");
    message.digest = *zintar.digest;
    message.type = msgid[4] - '0';
    message.time = std::string(time);
    message.utcDay = utcDay;
    message.aux = *zintar.aux;
    message.text = std::move(text);
    return message;
}

}  // namespace

std::int32_t DaysFromCivil(int year, int month, int day)
{
    // Howard Hinnant's days_from_civil.
    year -= month <= 2;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const int yearOfEra = year - era * 400;
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool IsUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        std::uint32_t code;
        if (byte >= 0xC2 && byte <= 0xDF) {
            length = 2, code = byte & 0x1F;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            length = 3, code = byte & 0x0F;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            length = 4, code = byte & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size())
            return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = code << 6 | (next & 0x3F);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return false;
        i += length;
    }
    return true;
}

IncomingRecord ParseIncomingRecord(std::string_view line)
{
    const size_t space = line.find(' ');
    const std::string_view peer = line.substr(0, space);
    std::string host;
    try {
        if (space == std::string_view::npos)
            Refuse("not a record (no sender's address)");
        IncomingRecord record = ParseRecord(line.substr(space + 1), host);
        std::visit([line](auto& read) { read.line = std::string(line); }, record);
        return record;
    } catch (const Refusal& refusal) {
        if (!IsUtf8(host) || host.find('\0') != std::string::npos || host == "-")
            host.clear();
        std::string peerText(peer.substr(0, 64));
        if (!IsUtf8(peerText) || peerText.find('\0') != std::string::npos)
            peerText = "?";
        return RejectedRecord{std::move(peerText), std::move(host), refusal.reason, std::string(line)};
    }
}

}  // namespace ZintarFleet
