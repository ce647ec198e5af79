// Arbitrary web requests' parts (a query, NUL, a Host header): a query is taken as a selection or
// refused with a usage error, never anything else; and a viewer on 127.0.0.1:8080 accepts no Host
// but its own address and localhost.
#include <string>

#include "tools/zintarctl/MessageSelection.h"
#include "tools/zintarctl/WebRequests.h"
#include "util/TextHelpers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string query = input.substr(0, split);
    const std::string host = split == std::string::npos ? "" : input.substr(split + 1);
    if (ZintarCtl::DecodeQueryText(query).size() > query.size())
        __builtin_trap();
    try {
        ZintarCtl::SelectionOf(ZintarCtl::CommandOfQuery(query), ZintarUtil::TimeFields{2026, 12, 6, 12, 0, 0, 0, 0});
    } catch (const ZintarUtil::UsageError&) {
    }
    const std::string lower = ZintarUtil::ToLowerAscii(host);
    if (ZintarCtl::HostAllowed(host, {"127.0.0.1", 8080}, 8080) && lower != "127.0.0.1:8080" &&
        lower != "localhost:8080")
        __builtin_trap();
    return 0;
}
