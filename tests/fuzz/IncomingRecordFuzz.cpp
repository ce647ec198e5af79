// The collector's reader of records, on any bytes: it never fails, whatever it accepts PostgreSQL
// would store (the rules the table's checks and types make), and what the forwarder writes comes
// back field for field, or is set aside only for text that is not UTF-8.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>

#include "tools/zintar-fleet/IncomingRecord.h"
#include "util/LogFileFormat.h"
#include "util/SyslogRecord.h"

using namespace ZintarFleet;
using namespace ZintarUtil;

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

bool Storable(const std::string& text)
{
    return IsUtf8(text) && text.find('\0') == std::string::npos;
}

// Any line: a message that comes out has fields the table takes.
void CheckAnyLine(const std::string& line)
{
    const IncomingRecord record = ParseIncomingRecord(line);
    if (const auto* m = std::get_if<IncomingMessage>(&record)) {
        Require(m->sequence >= 0 && m->generation >= 0 && m->type >= 0 && m->type <= 3);
        Require(m->digest.size() == 16 && m->digest.find_first_not_of("0123456789abcdef") == std::string::npos);
        Require(Storable(m->host) && Storable(m->aux) && Storable(m->text) && !m->host.empty());
    } else if (const auto* gap = std::get_if<IncomingGap>(&record)) {
        Require((gap->exact ? gap->lost >= 1 : gap->lost >= 0) && gap->generation >= 0 && Storable(gap->host) &&
                Storable(gap->text));
    } else {
        const auto& rejected = std::get<RejectedRecord>(record);
        Require(rejected.line == line && !rejected.reason.empty() && Storable(rejected.peer) &&
                Storable(rejected.host));
    }
}

template <class T>
T Take(const std::uint8_t*& data, std::size_t& size)
{
    T value{};
    const std::size_t n = size < sizeof value ? size : sizeof value;
    std::memcpy(&value, data, n);
    data += n, size -= n;
    return value;
}

// A record as the forwarder writes it, from fields the input chooses: read back, it is the same
// message, unless its text or aux is not UTF-8 (set aside then) or its time is not a real one.
void CheckRoundTrip(const std::uint8_t* data, std::size_t size)
{
    MessageRecord record{};
    record.sequence = Take<std::uint64_t>(data, size) >> 1;  // the table's bigint
    const auto generation = Take<std::uint64_t>(data, size) >> 1;
    record.message.type = Take<std::uint8_t>(data, size) % 4;
    TimeFields& t = record.message.timeStamp;
    t.year = static_cast<std::int16_t>(1601 + Take<std::uint16_t>(data, size) % 8000);
    t.month = static_cast<std::int16_t>(1 + Take<std::uint8_t>(data, size) % 12);
    t.day = static_cast<std::int16_t>(1 + Take<std::uint8_t>(data, size) % 28);
    t.hour = static_cast<std::int16_t>(Take<std::uint8_t>(data, size) % 24);
    t.minute = static_cast<std::int16_t>(Take<std::uint8_t>(data, size) % 60);
    t.second = static_cast<std::int16_t>(Take<std::uint8_t>(data, size) % 60);
    t.milliseconds = static_cast<std::int16_t>(Take<std::uint16_t>(data, size) % 1000);
    SyslogOrigin origin{"HOST", Take<std::int16_t>(data, size) % (16 * 60), 16};
    const std::size_t auxLength = std::min<std::size_t>(Take<std::uint8_t>(data, size), size);
    std::string aux(reinterpret_cast<const char*>(data), auxLength);
    std::string text(reinterpret_cast<const char*>(data) + auxLength, size - auxLength);
    aux = aux.substr(0, std::min(aux.find('\0'), kTextFieldSize - 1));
    text = text.substr(0, std::min(text.find('\0'), kTextFieldSize - 1));
    // rsyslog hands over a record as one line, its control characters escaped.
    for (std::string* field : {&aux, &text})
        for (char& c : *field)
            if (static_cast<unsigned char>(c) < 32)
                c = '#';
    std::memcpy(record.message.auxText, aux.data(), aux.size());
    std::memcpy(record.message.text, text.data(), text.size());

    const IncomingRecord parsed = ParseIncomingRecord("127.0.0.1 " + SyslogRecord(record, generation, origin));
    if (!IsUtf8(aux) || !IsUtf8(text)) {
        Require(std::holds_alternative<RejectedRecord>(parsed));
        return;
    }
    const auto* m = std::get_if<IncomingMessage>(&parsed);
    Require(m != nullptr);
    Require(m->host == "HOST" && m->sequence == static_cast<std::int64_t>(record.sequence) &&
            m->generation == static_cast<std::int64_t>(generation) && m->type == static_cast<int>(record.message.type));
    Require(m->digest == DigestText(DigestOf(record.message)) && m->aux == aux);
    // A leading byte order mark is not text; the rest is the text as sent.
    Require(m->text == text || (text.starts_with("\xEF\xBB\xBF") && m->text == text.substr(3)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    if (data[0] & 1)
        CheckRoundTrip(data + 1, size - 1);
    else
        CheckAnyLine(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    return 0;
}
