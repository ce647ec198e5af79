#include "tools/zintar-forward/LocalFileRules.h"

#include <gtest/gtest.h>

namespace {

using namespace ZintarForward;
using ZintarUtil::BroadGroup;

const OwnerFound kAdmins{OwnerKind::Trusted, "BUILTIN\\Administrators"};
const OwnerFound kBob{OwnerKind::Other, "PC\\bob"};
const OwnerFound kLocalService{OwnerKind::ServiceAccount, "NT AUTHORITY\\LOCAL SERVICE"};

StateFolderFound Existing(OwnerFound owner, std::vector<StateEntryFound> entries = {})
{
    StateFolderFound found;
    found.exists = true;
    found.owner = std::move(owner);
    found.entries = std::move(entries);
    return found;
}

StateEntryFound File(const char* name, OwnerFound owner = kAdmins, std::uint32_t links = 1)
{
    return {name, false, false, links, std::move(owner)};
}

TEST(StateFolderRule, MakesTakesOverOrRefusesWithTheReason)
{
    StateFolderFound missing;
    StateFolderFound root;
    root.driveRoot = true;
    StateFolderFound junction = Existing(kAdmins);
    junction.reparsePoint = true;
    StateFolderFound file = Existing(kAdmins);
    file.isFile = true;
    StateEntryFound linkedCerts{"certs", true, true, 1, kAdmins};
    struct Case {
        const char* name;
        StateFolderFound found;
        FolderAction action;
        std::string reason;  // its start
    };
    const Case cases[] = {
        {"missing", missing, FolderAction::Create, ""},
        {"a drive's root", root, FolderAction::Refuse, "is the root of a drive"},
        {"empty, the administrators'", Existing(kAdmins), FolderAction::TakeOver, ""},
        {"an earlier install's, files of LocalService",
         Existing(kAdmins, {File("state.txt", kLocalService),
                            File("ZintarForwardLog.txt", kLocalService),
                            File("State.TXT.new"),
                            File("state-status.txt"),
                            {"certs", true, false, 1, kAdmins},
                            File("certs\\ca.pem"),
                            File("certs\\client.p12")}),
         FolderAction::TakeOver, ""},
        {"a junction", junction, FolderAction::Refuse, "is a link or junction"},
        {"a file", file, FolderAction::Refuse, "is a file"},
        {"a user's", Existing(kBob), FolderAction::Refuse, "belongs to PC\\bob, not to the administrators"},
        {"a broad group's", Existing({OwnerKind::Broad, "Everyone"}), FolderAction::Refuse, "belongs to Everyone"},
        {"LocalService's", Existing(kLocalService), FolderAction::Refuse, "belongs to NT AUTHORITY\\LOCAL SERVICE"},
        {"other data", Existing(kAdmins, {File("state.txt"), File("report.docx")}), FolderAction::Refuse,
         "holds report.docx, which the forwarder did not put there"},
        {"a folder by one of our file names", Existing(kAdmins, {{"state.txt", true, false, 1, kAdmins}}),
         FolderAction::Refuse, "holds state.txt, which the forwarder did not put there"},
        {"a planted file", Existing(kAdmins, {File("state.txt", kBob)}), FolderAction::Refuse,
         "holds state.txt, which belongs to PC\\bob"},
        {"a hard link", Existing(kAdmins, {File("certs\\ca.pem", kAdmins, 2)}), FolderAction::Refuse,
         "holds certs\\ca.pem, a file with 2 names"},
        {"a junction inside", Existing(kAdmins, {linkedCerts}), FolderAction::Refuse,
         "holds certs, a link or junction"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FolderDecision decision = DecideStateFolder(c.found, "state.txt", "state-status.txt");
        EXPECT_EQ(decision.action, c.action);
        EXPECT_EQ(decision.reason.substr(0, c.reason.size()), c.reason);
    }
}

ZintarUtil::FolderDacl Grants(BroadGroup group, std::uint32_t mask, bool allows = true)
{
    return {true, {{group, allows, mask, false}}};
}

TEST(CredentialFileRule, RefusesWhatOrdinaryUsersMayChangeOrReadTheKeyOf)
{
    const ZintarUtil::FolderDacl none{true, {}};
    constexpr std::uint32_t kRead = 0x1200a9, kModify = 0x1301bf, kWine777 = 0x1301ff;
    struct Case {
        const char* name;
        CredentialAccessFound found;
        bool secret;
        std::string refusal;  // empty: accepted
    };
    const Case cases[] = {
        {"admins only", {kAdmins, none, kAdmins, none}, true, ""},
        {"users read the CA",
         {kAdmins, Grants(BroadGroup::Users, kRead), kAdmins, Grants(BroadGroup::Users, kRead)},
         false,
         ""},
        {"users read the key",
         {kAdmins, Grants(BroadGroup::Users, kRead), kAdmins, none},
         true,
         "it lets Users read it, private key included"},
        {"Everyone's generic read of the key",
         {kAdmins, Grants(BroadGroup::Everyone, 0x80000000), kAdmins, none},
         true,
         "it lets Everyone read it"},
        {"authenticated users modify the CA",
         {kAdmins, Grants(BroadGroup::AuthenticatedUsers, kModify), kAdmins, none},
         false,
         "it lets Authenticated Users change, replace or re-permission it"},
        {"a deny before the allow",
         {kAdmins,
          {true, {{BroadGroup::Everyone, false, 0x10000000, false}, {BroadGroup::Users, true, kModify, false}}},
          kAdmins,
          none},
         true,
         ""},
        {"no access list on the file", {kAdmins, {false, {}}, kAdmins, none}, false, "it lets Everyone change"},
        {"the file a user's", {kBob, none, kAdmins, none}, false, "it belongs to PC\\bob, who may give anyone access"},
        {"the folder a user's",
         {kAdmins, none, kBob, none},
         false,
         "its folder C:\\certs belongs to PC\\bob, who may replace what it holds"},
        {"the folder of mode 777 under Wine",
         {kAdmins, none, kAdmins, Grants(BroadGroup::Everyone, kWine777)},
         false,
         "its folder C:\\certs lets Everyone add files, add subfolders and delete files"},
        {"the folder of mode 755 under Wine", {kAdmins, none, kAdmins, Grants(BroadGroup::Everyone, kRead)}, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<std::string> refusal = CredentialFileRefusal(c.found, "C:\\certs", c.secret);
        EXPECT_EQ(refusal.value_or("").substr(0, c.refusal.size()), c.refusal);
        EXPECT_EQ(refusal.has_value(), !c.refusal.empty());
    }
}

}  // namespace
