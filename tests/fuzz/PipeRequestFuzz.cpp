// Any 1028 bytes a client may send: the request table answers with a known code and touches
// nothing outside the record.
#include <cstring>
#include <set>

#include "RequestDispatch.h"

using namespace ZintarServer;
using namespace ZintarUtil;

namespace {

class Target : public RequestTarget {
public:
    void WriteMessage(const LogMessage&) override {}
    void WithSettings(const std::function<void(ServiceSettings&)>& work) override { work(settings); }
    void StartRestart() override {}
    std::string DefaultLogFileName() override { return std::string(1100, 'd'); }  // longer than its field
    ServiceSettings settings;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Target target;  // settings grow across inputs, as over a long-running connection
    if (target.settings.includeFilters.size() + target.settings.excludeFilters.size() > 1000)
        target.settings = ServiceSettings();
    PipeRequest request{};
    std::memcpy(&request, data, std::min(size, sizeof request));
    PipeReply reply{};
    DispatchRequest(request, reply, target);
    static const std::set<std::uint32_t> codes = {5, 7, 8, 11, 12, 13, 14, 15, 16};
    if (codes.count(reply.code) == 0 || (reply.code >= 12 && !reply.TextAt(kTextOffset, kPathFieldSize)))
        __builtin_trap();
    return 0;
}
