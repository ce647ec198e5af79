#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "SecurityDescriptors.h"

using namespace ZintarUtil;
using ZintarTest::ChildProcess;
using ZintarTest::kChildBound;

TEST(SecurityBuilders, EmptyListBuildsAnEmptyAclNotANullOne)
{
    // A null DACL would grant everybody everything.
    AccessControlList list;
    PACL acl = list.GetACL();
    ASSERT_NE(acl, nullptr);
    EXPECT_EQ(acl->AceCount, 0);
}

ZINTAR_CHILD(OpenEventWithRights)
{
    const auto rights = static_cast<DWORD>(std::stoul(args.at(1), nullptr, 16));
    HANDLE event = OpenEventA(rights, FALSE, args.at(0).c_str());
    if (event == nullptr)
        return static_cast<int>(GetLastError());
    CloseHandle(event);
    return 0;
}

TEST(EveryoneAccess, AnotherProcessGetsTheGrantedRightsAndNoMore)
{
    const std::string name = ZintarTest::UniqueName("guarded-event");
    EveryoneSecurityAttributes everyone(SYNCHRONIZE);
    HANDLE event = CreateEventA(everyone.GetSecurityAttributes(), TRUE, FALSE, name.c_str());
    ASSERT_NE(event, nullptr);

    ChildProcess granted("OpenEventWithRights", {name, "100000"});
    EXPECT_EQ(granted.WaitForExit(kChildBound), 0u);
    ChildProcess refused("OpenEventWithRights", {name, "1F0003"});
    EXPECT_EQ(refused.WaitForExit(kChildBound), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    CloseHandle(event);
}

TEST(EveryoneAccess, FullEventRightsOpenEverything)
{
    const std::string name = ZintarTest::UniqueName("open-event");
    EveryoneSecurityAttributes everyone(EVENT_ALL_ACCESS);
    HANDLE event = CreateEventA(everyone.GetSecurityAttributes(), TRUE, FALSE, name.c_str());
    ASSERT_NE(event, nullptr);
    ChildProcess child("OpenEventWithRights", {name, "1F0003"});
    EXPECT_EQ(child.WaitForExit(kChildBound), 0u);
    CloseHandle(event);
}
