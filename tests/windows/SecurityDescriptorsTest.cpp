#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "Exceptions.h"
#include "SecurityDescriptors.h"

using namespace ZintarUtil;
using ZintarTest::ChildProcess;
using ZintarTest::kChildBound;

namespace {

const SID_IDENTIFIER_AUTHORITY kWorld = {SECURITY_WORLD_SID_AUTHORITY};

}  // namespace

TEST(SecurityBuilders, EmptyListBuildsAnEmptyAclNotANullOne)
{
    // A null DACL would grant everybody everything.
    AccessControlList list;
    PACL acl = list.GetACL();
    ASSERT_NE(acl, nullptr);
    EXPECT_EQ(acl->AceCount, 0);
}

TEST(SecurityBuilders, EveryoneAttributesHoldOneEntryForTheWorld)
{
    EveryoneSecurityAttributes everyone(0x12019F);
    SECURITY_ATTRIBUTES* attributes = everyone.GetSecurityAttributes();
    EXPECT_EQ(attributes->nLength, 24u);
    EXPECT_FALSE(attributes->bInheritHandle);

    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(attributes->lpSecurityDescriptor, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    ASSERT_NE(dacl, nullptr);
    ASSERT_EQ(dacl->AceCount, 1);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Header.AceFlags, 0);
    EXPECT_EQ(allowed->Mask, 0x12019Fu);

    SecurityIdentifier world(kWorld);
    world.AddSubAuthority(SECURITY_WORLD_RID);
    EXPECT_TRUE(EqualSid(&allowed->SidStart, world.GetSID()));
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
