#include "client/ServiceRequests.h"

#include <gtest/gtest.h>

#include <cstring>

#include "util/Exceptions.h"

using namespace ZintarClient;

TEST(ServiceRequests, RepliesOtherThanExpectedSayWhat)
{
    struct Case {
        std::uint32_t code;
        const char* says;
    };
    const Case cases[] = {{4, "too long"},
                          {5, "does not know"},
                          {7, "ZintarServiceLog.txt"},
                          {8, "no such filter"},
                          {99, "unexpected reply code 99"}};
    for (const Case& c : cases) {
        ZintarUtil::PipeReply reply{};
        reply.code = c.code;
        try {
            ExpectReply(reply, ZintarUtil::Pipe::kReplyOk, "AddFilter");
            ADD_FAILURE() << c.code;
        } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
            EXPECT_NE(e.GetFullMessage("\n").find("AddFilter failed: "), std::string::npos);
            EXPECT_NE(e.GetFullMessage("\n").find(c.says), std::string::npos) << c.code;
        }
    }
    // A refusal for want of an administrator says so as its kind, which zintarctl's hint goes by.
    for (const std::string text : {ZintarUtil::Pipe::kNeedsAdministrator, "MaxMessage 0 cannot work"}) {
        ZintarUtil::PipeReply refused{};
        refused.code = ZintarUtil::Pipe::kReplyFailed;
        refused.SetText(ZintarUtil::Pipe::kTextOffset, ZintarUtil::Pipe::kPathFieldSize, text);
        try {
            ExpectReply(refused, ZintarUtil::Pipe::kReplyOk, "SetSettings");
        } catch (const ZintarUtil::Exceptions::ExceptionBase& e) {
            EXPECT_EQ(e.Kind() == ZintarUtil::Exceptions::FailureKind::NeedsAdministrator,
                      text == ZintarUtil::Pipe::kNeedsAdministrator);
        }
    }
    EXPECT_THROW(AddFilterRequest({std::string(128, 'f'), true}), ZintarUtil::Exceptions::ExceptionBase);
    const ZintarUtil::PipeRequest add = AddFilterRequest({std::string(127, 'f'), false});
    EXPECT_EQ(add.U32At(ZintarUtil::Pipe::kFilterKindOffset), 0u);
    const Settings settings{100, 200, 0xF, 300};
    const ZintarUtil::PipeRequest set = SetSettingsRequest(settings);
    ZintarUtil::PipeReply echoed{};
    std::memcpy(&echoed, &set, sizeof echoed);  // a reply and a request share the layout
    EXPECT_EQ(SettingsOf(echoed).saveRate, 300u);
    EXPECT_EQ(SettingsOf(echoed).devicePollRate, 200u);
}
