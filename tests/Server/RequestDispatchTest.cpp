// The request table against a stand-in for the service: every code, the locks each one takes,
// the texts at the edges of their fields, and the failures.
#include "Server/RequestDispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>

#include "tests/support/LogImageBuilder.h"
#include "util/Exceptions.h"

using namespace ZintarServer;
using namespace ZintarUtil;
using namespace ZintarUtil::Pipe;

namespace {

class FakeService : public RequestTarget {
public:
    void WriteMessage(const ZintarUtil::LogMessage& message) override
    {
        written.push_back(message);
        if (failWrites)
            throw ZintarUtil::Exceptions::ExceptionBase("Failed to flush");
    }
    void WithSettings(const std::function<void(ServiceSettings&)>& work) override
    {
        EXPECT_FALSE(settingsLocked) << "the settings lock is not re-entrant";
        settingsLocked = true;
        ++settingsLocks;
        work(settings);
        settingsLocked = false;
    }
    void StartRestart() override
    {
        EXPECT_TRUE(settingsLocked) << "the restart starts under the settings lock";
        ++restarts;
    }
    std::string DefaultLogFileName() override { return "C:\\Program Files\\Tervan\\Logs.dat"; }
    std::optional<std::string> RefusalOfLogFileLocation(const std::string& path) override
    {
        if (path.find("missing") != std::string::npos)
            return "the folder C:\\missing\\ does not exist";
        return std::nullopt;
    }
    bool DeviceOpen() override { return true; }

    ServiceSettings settings;
    std::vector<ZintarUtil::LogMessage> written;
    bool failWrites = false;
    bool settingsLocked = false;
    int settingsLocks = 0;
    int restarts = 0;
};

PipeRequest Request(std::uint32_t code)
{
    PipeRequest request;
    std::memset(&request, 0xCD, sizeof request);  // stale bytes, as a reused buffer holds
    request.code = code;
    return request;
}

PipeRequest TextRequest(std::uint32_t code, const std::string& text)
{
    PipeRequest request = Request(code);
    request.SetText(kTextOffset, text.size() + 1, text);
    return request;
}

struct Row {
    const char* name;
    PipeRequest request;
    std::uint32_t replyCode;
    int settingsLocks;
    std::function<void(const FakeService&, const PipeReply&)> check;
};

PipeRequest Settings(std::uint32_t max, std::uint32_t poll, std::uint32_t types, std::uint32_t save)
{
    PipeRequest request = Request(kSetSettings);
    request.SetU32At(kMaxMessageOffset, max);
    request.SetU32At(kDevicePollRateOffset, poll);
    request.SetU32At(kTypeFilterOffset, types);
    request.SetU32At(kSaveRateOffset, save);
    return request;
}

PipeRequest Filter(std::uint32_t index)
{
    PipeRequest request = Request(kGetFilter);
    request.SetU32At(kFilterIndexOffset, index);
    return request;
}

PipeRequest AddFilter(const std::string& text, std::uint32_t kind)
{
    PipeRequest request = TextRequest(kAddFilter, text);
    request.SetU32At(kFilterKindOffset, kind);
    return request;
}

std::string ReplyText(const PipeReply& reply, std::size_t field)
{
    return reply.TextAt(kTextOffset, field).value_or("<no NUL>");
}

// A refused request: its reply says why, and the settings are as they were.
std::function<void(const FakeService&, const PipeReply&)> Unchanged(const std::string& why)
{
    return [why](const FakeService& s, const PipeReply& r) {
        EXPECT_NE(ReplyText(r, kPathFieldSize).find(why), std::string::npos) << ReplyText(r, kPathFieldSize);
        EXPECT_EQ(s.settings.requestedMaxMessage, 300u);
        EXPECT_EQ(s.settings.devicePollRate, 1000u);
        EXPECT_EQ(s.settings.logFile, "C:\\logs\\Logs.dat");
        EXPECT_EQ(s.restarts, 0);
    };
}

}  // namespace

TEST(RequestDispatch, EveryCode)
{
    const std::string longFilter(300, 'f');
    PipeRequest message = Request(kWriteMessage);
    message.SetMessage(kMessageOffset, ZintarTest::MessageWithKey(7, "from a client"));
    PipeRequest unterminatedPath = Request(kSetLogFileName);
    std::memset(unterminatedPath.body, 'p', sizeof unterminatedPath.body);
    PipeRequest unterminatedFilter = AddFilter(std::string(127, 'a'), 1);
    unterminatedFilter.body[kFilterKindOffset - 5] = 'a';  // fills the 128-byte field, kind follows

    const Row rows[] = {
        {"code 0", Request(0), kReplyUnknown, 0, {}},
        {"code 1", Request(1), kReplyUnknown, 0, {}},
        {"code 13", Request(13), kReplyUnknown, 0, {}},
        {"largest code", Request(0xFFFFFFFF), kReplyUnknown, 0, {}},
        {"file map name", Request(kGetFileMapName), kReplyFileMapName, 0,
         [](const FakeService&, const PipeReply& r) {
             EXPECT_EQ(ReplyText(r, kPathFieldSize), "Global\\ZintarServiceFileMap");
         }},
        {"write message", message, kReplyOk, 0,
         [](const FakeService& s, const PipeReply&) {
             ASSERT_EQ(s.written.size(), 1u);
             EXPECT_STREQ(s.written[0].text, "from a client");
             EXPECT_EQ(ZintarTest::KeyOf(s.written[0]), 7u);
         }},
        {"ping", Request(kPing), kReplyPing, 0, {}},
        {"get settings", Request(kGetSettings), kReplySettings, 1,
         [](const FakeService&, const PipeReply& r) {
             EXPECT_EQ(r.U32At(kMaxMessageOffset), 300u);  // the requested limit, not the live one
             EXPECT_EQ(r.U32At(kDevicePollRateOffset), 1000u);
             EXPECT_EQ(r.U32At(kTypeFilterOffset), 0b1011u);
             EXPECT_EQ(r.U32At(kSaveRateOffset), 60u);
             EXPECT_EQ(r.U32At(kStateFlagsOffset), kStateLogFileFallback | kStateDeviceOpen);
             EXPECT_EQ(r.TextAt(kLogFileInUseOffset, kLogFileInUseFieldSize), "C:\\Tervan\\Logs.dat");
         }},
        {"set settings", Settings(100, 200, 0xFFFFFFF4, 7), kReplyOk, 1,
         [](const FakeService& s, const PipeReply&) {
             EXPECT_EQ(s.settings.requestedMaxMessage, 100u);
             EXPECT_EQ(s.settings.maxMessage, 50u) << "the live limit waits for the restart";
             EXPECT_EQ(s.settings.devicePollRate, 200u);
             EXPECT_EQ(s.settings.saveRate, 7u);
             EXPECT_EQ(std::vector<bool>(s.settings.typeEnabled, s.settings.typeEnabled + 4),
                       (std::vector<bool>{false, false, true, false}));
             EXPECT_EQ(s.restarts, 1);
         }},
        {"set settings with no limit", Settings(0, 1, 0, 1), kReplyOk, 1,
         [](const FakeService& s, const PipeReply&) { EXPECT_EQ(s.settings.requestedMaxMessage, 1u); }},
        // Values that cannot work are refused with the reason, before anything changes.
        {"set settings above the largest file", Settings(7669585, 1000, 15, 60), kReplyFailed, 0,
         Unchanged("MaxMessage 7669585")},
        {"set settings, poll rate 0", Settings(100, 0, 15, 60), kReplyFailed, 0, Unchanged("DevicePollRate 0")},
        {"set settings, poll rate of 2^31 ms", Settings(100, 0x80000000, 15, 60), kReplyFailed, 0,
         Unchanged("DevicePollRate")},
        {"set settings, save rate 0", Settings(100, 1000, 15, 0), kReplyFailed, 0, Unchanged("SaveRate 0")},
        {"set settings, save rate whose ms wrap", Settings(100, 1000, 15, 4294968), kReplyFailed, 0,
         Unchanged("SaveRate")},
        {"set settings at the limits", Settings(7669584, 0x7FFFFFFF, 15, 2147483), kReplyOk, 1, {}},
        {"get log file name", Request(kGetLogFileName), kReplyFileName, 1,
         [](const FakeService&, const PipeReply& r) { EXPECT_EQ(ReplyText(r, kPathFieldSize), "C:\\logs\\Logs.dat"); }},
        {"set log file name", TextRequest(kSetLogFileName, "D:\\new.dat"), kReplyOk, 1,
         [](const FakeService& s, const PipeReply&) { EXPECT_EQ(s.settings.logFile, "D:\\new.dat"); }},
        {"set log file name without NUL", unterminatedPath, kReplyFailed, 0,
         [](const FakeService& s, const PipeReply&) { EXPECT_EQ(s.settings.logFile, "C:\\logs\\Logs.dat"); }},
        {"set log file name, empty", TextRequest(kSetLogFileName, ""), kReplyFailed, 0, Unchanged("path is empty")},
        {"set log file name, longer than a start reads", TextRequest(kSetLogFileName, "C:\\" + std::string(253, 'x')),
         kReplyFailed, 0, Unchanged("256 characters")},
        {"set log file name, 255 characters",
         TextRequest(kSetLogFileName, "C:\\" + std::string(252, 'x')),
         kReplyOk,
         1,
         {}},
        {"set log file name, folder missing", TextRequest(kSetLogFileName, "C:\\missing\\Logs.dat"), kReplyFailed, 0,
         Unchanged("does not exist")},
        {"first include filter", Filter(0), kReplyFilter, 1,
         [](const FakeService&, const PipeReply& r) {
             EXPECT_EQ(ReplyText(r, kFilterFieldSize), "a");
             EXPECT_EQ(r.U32At(kFilterKindOffset), 1u);
         }},
        {"long filter is cut to its field", Filter(1), kReplyFilter, 1,
         [&](const FakeService&, const PipeReply& r) {
             EXPECT_EQ(ReplyText(r, kFilterFieldSize), longFilter.substr(0, 127));
             EXPECT_EQ(r.U32At(kFilterKindOffset), 1u);
         }},
        {"exclude filter follows", Filter(2), kReplyFilter, 1,
         [](const FakeService&, const PipeReply& r) {
             EXPECT_EQ(ReplyText(r, kFilterFieldSize), "c");
             EXPECT_EQ(r.U32At(kFilterKindOffset), 0u);
         }},
        {"past the last filter", Filter(3), kReplyNoFilter, 1, {}},
        {"index wraps nowhere", Filter(0xFFFFFFFF), kReplyNoFilter, 1, {}},
        {"clear filters", Request(kClearFilters), kReplyOk, 1,
         [](const FakeService& s, const PipeReply&) {
             EXPECT_TRUE(s.settings.includeFilters.empty());
             EXPECT_TRUE(s.settings.excludeFilters.empty());
         }},
        {"add exclude filter", AddFilter("Camera", 0), kReplyOk, 1,
         [](const FakeService& s, const PipeReply&) { EXPECT_EQ(s.settings.excludeFilters.back(), "Camera"); }},
        {"any non-zero kind includes", AddFilter("Disk", 0x80000000), kReplyOk, 1,
         [](const FakeService& s, const PipeReply&) { EXPECT_EQ(s.settings.includeFilters.back(), "Disk"); }},
        {"filter without NUL in its field", unterminatedFilter, kReplyFailed, 0,
         [](const FakeService& s, const PipeReply&) { EXPECT_EQ(s.settings.includeFilters.size(), 2u); }},
        {"default log file name", Request(kGetDefaultLogFileName), kReplyFileName, 0,
         [](const FakeService&, const PipeReply& r) {
             EXPECT_EQ(ReplyText(r, kPathFieldSize), "C:\\Program Files\\Tervan\\Logs.dat");
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeService service;
        service.settings.maxMessage = 50;
        service.settings.requestedMaxMessage = 300;
        service.settings.devicePollRate = 1000;
        service.settings.saveRate = 60;
        service.settings.typeEnabled[0] = service.settings.typeEnabled[1] = service.settings.typeEnabled[3] = true;
        service.settings.logFile = "C:\\logs\\Logs.dat";
        service.settings.logFileInUse = "C:\\Tervan\\Logs.dat";
        service.settings.logFileFallback = true;
        service.settings.includeFilters = {"a", longFilter};
        service.settings.excludeFilters = {"c"};
        PipeReply reply;
        std::memset(&reply, 0xEE, sizeof reply);
        reply.code = kReplyOk;
        DispatchRequest(row.request, reply, service, Caller{true});
        EXPECT_EQ(reply.code, row.replyCode);
        EXPECT_EQ(service.settingsLocks, row.settingsLocks);
        EXPECT_FALSE(service.settingsLocked);
        if (row.check)
            row.check(service, reply);
        if (row.request.code != kWriteMessage) {
            EXPECT_TRUE(service.written.empty());
        }
        if (row.request.code != kSetSettings) {
            EXPECT_EQ(service.restarts, 0);
        }
    }
}

TEST(RequestDispatch, AFailedWriteAnswersFailedAfterTheMessageWasHandedOn)
{
    FakeService service;
    service.failWrites = true;
    PipeReply reply{};
    DispatchRequest(Request(kWriteMessage), reply, service, Caller{false});
    EXPECT_EQ(reply.code, kReplyFailed);
    EXPECT_EQ(service.written.size(), 1u);
}

TEST(RequestDispatch, OnlyAdministratorsChangeWhatTheServiceKeepsUnlessEveryUserMay)
{
    const std::uint32_t changing[] = {kSetSettings, kSetLogFileName, kAddFilter, kClearFilters};
    for (std::uint32_t code = 0; code <= 14; ++code) {
        const bool changes = std::find(std::begin(changing), std::end(changing), code) != std::end(changing);
        for (const bool administrator : {false, true})
            for (const bool anyUser : {false, true})
                EXPECT_EQ(MayCarryOut(code, Caller{administrator}, anyUser), !changes || administrator || anyUser)
                    << code << " " << administrator << " " << anyUser;
    }
    for (const bool anyUser : {false, true}) {
        FakeService service;
        service.settings.anyUserMayChange = anyUser;
        service.settings.logFile = "C:\\logs\\Logs.dat";
        PipeReply reply{};
        DispatchRequest(TextRequest(kSetLogFileName, "D:\\new.dat"), reply, service, Caller{false});
        EXPECT_EQ(reply.code, anyUser ? kReplyOk : kReplyFailed);
        EXPECT_EQ(service.settings.logFile, anyUser ? "D:\\new.dat" : "C:\\logs\\Logs.dat");
        EXPECT_EQ(ReplyText(reply, kPathFieldSize).find("needs an administrator") != std::string::npos, !anyUser);
    }
}
