// Any 1028 bytes a client may send: the request table answers with a known code, touches nothing
// outside the record, says why when it refuses, and never stores settings that cannot work.
#include <cstring>
#include <optional>
#include <set>

#include "Server/RequestDispatch.h"

using namespace ZintarServer;
using namespace ZintarUtil;
using namespace ZintarUtil::Pipe;

namespace {

class Target : public RequestTarget {
public:
    void WriteMessage(const LogMessage&) override {}
    void WithSettings(const std::function<void(ServiceSettings&)>& work) override { work(settings); }
    void StartRestart() override {}
    std::string DefaultLogFileName() override { return std::string(1100, 'd'); }  // longer than its field
    std::optional<std::string> RefusalOfLogFileLocation(const std::string&) override { return std::nullopt; }
    bool DeviceOpen() override { return false; }
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
    // A byte past the record makes the caller someone other than an administrator.
    const Caller caller{size <= sizeof request || (data[sizeof request] & 1) == 0};
    DispatchRequest(request, reply, target, caller);
    if (!caller.isAdministrator && reply.code == kReplyOk && !MayCarryOut(request.code, caller, false))
        __builtin_trap();
    static const std::set<std::uint32_t> codes = {5, 7, 8, 11, 12, 13, 14, 15, 16};
    if (codes.count(reply.code) == 0 || (reply.code >= 12 && !reply.TextAt(kTextOffset, kPathFieldSize)))
        __builtin_trap();
    if (reply.code == kReplyFailed && !reply.TextAt(kTextOffset, kPathFieldSize).value_or("").size())
        __builtin_trap();
    const ServiceSettings& s = target.settings;
    if (request.code == kSetSettings && reply.code == kReplyOk &&
        (s.requestedMaxMessage == 0 || s.requestedMaxMessage > kMaxCapacity || !IsUsablePollRate(s.devicePollRate) ||
         !IsUsableSaveRate(s.saveRate)))
        __builtin_trap();
    if (request.code == kSetLogFileName && reply.code == kReplyOk && RefusalOfLogFilePath(s.logFile))
        __builtin_trap();
    return 0;
}
