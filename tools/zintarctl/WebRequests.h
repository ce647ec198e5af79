// What the web viewer makes of a request and what it answers, apart from the HTTP itself: the
// address it listens on, which Host headers it accepts, the selection in a query string, and the
// JSON it returns.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zintarctl/CtlCommandLine.h"
#include "tools/zintarctl/StatusReport.h"
#include "util/LogFileFormat.h"

namespace ZintarCtl {

struct ListenAddress {
    std::string host;        // an IP address as written: "127.0.0.1", "[::1]", "0.0.0.0"
    std::uint16_t port = 0;  // 0: any free port
};

// "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:8080" or "localhost:8080" (127.0.0.1). Only addresses,
// not host names: a name could resolve elsewhere. Throws UsageError.
ListenAddress ParseListenAddress(const std::string& text);

// The viewer answers only requests that name it by the address it listens on, so that a page of
// another site cannot reach it through a host name that resolves to this machine (DNS rebinding).
// On a loopback address "localhost" is accepted too; on the wildcard address any IP address with
// the port is (an address literal cannot be rebound).
bool HostAllowed(std::string_view hostHeader, const ListenAddress& listen, std::uint16_t port);

// "%41+b" → "A b".
std::string DecodeQueryText(std::string_view text);

// The read selection in a request's query: n, since, until, type, text, grep, utc; and format:
// json (the default, one JSON array) leaves Format::Text, jsonl gives Format::Json (read's JSON
// lines), csv Format::Csv. Throws UsageError for a value that cannot be used.
CtlCommand CommandOfQuery(std::string_view query);

// A message for the page and the API: the fields `read --json` prints, and the raw ones (weekday,
// the producer's leading and trailing bytes in hexadecimal).
std::string MessagesJson(const std::vector<ZintarUtil::MessageRecord>& records);
std::string StatusJson(const StatusReport& report, const std::string& source);

// The messages as a download: `read`'s CSV (with its header line) or JSON lines.
std::string MessagesDownload(const std::vector<ZintarUtil::MessageRecord>& records, Format format);

// One server-sent event: "event: NAME\ndata: DATA\n\n" (DATA holds no line end).
std::string StreamEvent(std::string_view name, std::string_view data);

}  // namespace ZintarCtl
