// Arbitrary command lines for zintarctl, zintar-feed and zintar-forward (arguments separated by NUL): each is
// taken or refused with a usage error, never anything else.
#include <string>
#include <vector>

#include "tools/zintar-feed/FeedOptions.h"
#include "tools/zintar-forward/ForwardOptions.h"
#include "tools/zintarctl/CtlCommandLine.h"
#include "tools/zintarctl/MessageSelection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += static_cast<char>(data[i]);
    }
    std::string help;
    try {
        if (const auto command = ZintarCtl::ParseCtlCommand(args, help))
            ZintarCtl::SelectionOf(*command, ZintarUtil::TimeFields{2026, 12, 6, 12, 0, 0, 0, 0});
    } catch (const ZintarUtil::UsageError&) {
    }
    try {
        ZintarFeed::ParseFeedOptions(args, help);
    } catch (const ZintarUtil::UsageError&) {
    }
    try {
        ZintarForward::ParseForwardCommandLine(args, help);
    } catch (const ZintarUtil::UsageError&) {
    }
    return 0;
}
