#include "util/win32/SecurityDescriptors.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/win32/ChildProcess.h"
#include "util/win32/ClientAccess.h"

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

namespace {

// What `token` may do with an object of `descriptor`, as the system's own access check says.
DWORD MostAllowed(PSECURITY_DESCRIPTOR descriptor, HANDLE token)
{
    HANDLE identification = nullptr;
    GENERIC_MAPPING none{};
    PRIVILEGE_SET privileges{};
    DWORD privilegesLength = sizeof privileges;
    DWORD granted = 0;
    BOOL allowed = FALSE;
    const bool checked = DuplicateToken(token, SecurityIdentification, &identification) &&
                         AccessCheck(descriptor, identification, MAXIMUM_ALLOWED, &none, &privileges, &privilegesLength,
                                     &granted, &allowed);
    CloseHandle(identification);
    return !checked ? 0xFFFFFFFF : allowed ? granted : 0;
}

}  // namespace

// Every object the service shares, with StrictClientAccess off and on, as a standard user (this
// process's token with Administrators for deny only) and an administrator meet it. The objects
// belong to LocalSystem, as the service's do on Windows, so no owner's rights blur the check.
TEST(EveryoneAccess, StrictAccessLeavesAStandardUserWhatAClientAsksForAndNoMore)
{
    HANDLE administrator = nullptr;
    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY, &administrator));
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    BYTE localSystem[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
    size = sizeof localSystem;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, localSystem, &size));
    SID_AND_ATTRIBUTES denyOnly{administrators, 0};
    HANDLE standardUser = nullptr;
    ASSERT_TRUE(CreateRestrictedToken(administrator, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &standardUser));

    const DWORD ownersRights = WRITE_DAC | WRITE_OWNER | DELETE;
    struct Object {
        const char* name;
        SharedObjectRights rights;
        DWORD clientAsks;   // as the project's clients open it (CreateFile adds FILE_READ_ATTRIBUTES)
        DWORD neverStrict;  // what a standard user must not get beyond it when access is strict
    };
    const Object objects[] = {
        {"mapping", ClientAccess::kMappingRights, ClientAccess::kMapping, ownersRights | SECTION_EXTEND_SIZE},
        {"header lock", ClientAccess::kHeaderLockRights, ClientAccess::kHeaderLock, ownersRights},
        {"read-wait event", ClientAccess::kReadWaitEventRights, ClientAccess::kReadWaitEvent,
         ownersRights | EVENT_MODIFY_STATE},
        {"write-wait event", ClientAccess::kWriteWaitEventRights, ClientAccess::kWriteWaitEvent,
         ownersRights | SYNCHRONIZE},
        {"pipes", ClientAccess::kPipeRights,
         ClientAccess::kRequestPipe | ClientAccess::kReplyPipe | FILE_READ_ATTRIBUTES,
         ownersRights | FILE_CREATE_PIPE_INSTANCE},
    };
    for (const Object& object : objects) {
        for (const bool strict : {false, true}) {
            SCOPED_TRACE(std::string(object.name) + (strict ? ", strict" : ", not strict"));
            EveryoneSecurityAttributes attributes(object.rights, strict);
            PSECURITY_DESCRIPTOR descriptor = attributes.GetSecurityAttributes()->lpSecurityDescriptor;
            ASSERT_TRUE(SetSecurityDescriptorOwner(descriptor, localSystem, FALSE));
            ASSERT_TRUE(SetSecurityDescriptorGroup(descriptor, localSystem, FALSE));
            const DWORD user = MostAllowed(descriptor, standardUser);
            EXPECT_EQ(user & object.clientAsks, object.clientAsks);
            EXPECT_EQ(user & object.neverStrict, strict ? 0u : object.neverStrict & object.rights.open);
            EXPECT_EQ(MostAllowed(descriptor, administrator), strict ? object.rights.full : object.rights.open);
        }
    }
    CloseHandle(standardUser);
    CloseHandle(administrator);
}
