// What the web viewer makes of a request and what it answers, apart from the HTTP itself: the
// selection in a query string and the JSON it returns.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/zintarctl/CtlCommandLine.h"
#include "tools/zintarctl/StatusReport.h"
#include "util/LogFileFormat.h"
#include "util/http/HttpAddress.h"

namespace ZintarCtl {

// The address, Host header and query helpers are the shared web server's (util/http).
using ZintarHttp::DecodeQueryText;
using ZintarHttp::HostAllowed;
using ZintarHttp::ListenAddress;
using ZintarHttp::ParseListenAddress;
using ZintarHttp::StreamEvent;

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

}  // namespace ZintarCtl
