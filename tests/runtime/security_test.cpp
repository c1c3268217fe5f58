// Entries and lists as pure values; SIDs, tokens, privileges and object
// security against the real system.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "errors/vexception.h"
#include "runtime/security.h"
#include "tests/support/impersonation.h"
#include "tests/support/raised.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::messageOf;

using RunTime::Ace;
using RunTime::Acl;
using RunTime::Sid;

// Accounts that need not exist: the lists never look them up.
const Sid kA(5, {21, 7, 7, 7, 1001});
const Sid kB(5, {21, 7, 7, 7, 1002});
const Sid kC(5, {21, 7, 7, 7, 1003});

Ace entry(BYTE type, const Sid& sid, BYTE flags = 0, ACCESS_MASK mask = GENERIC_READ) {
    return Ace::init(type, flags, mask, sid.get());
}
Ace allow(const Sid& sid, BYTE flags = 0, ACCESS_MASK mask = GENERIC_READ) {
    return entry(ACCESS_ALLOWED_ACE_TYPE, sid, flags, mask);
}
Ace deny(const Sid& sid, BYTE flags = 0, ACCESS_MASK mask = GENERIC_READ) {
    return entry(ACCESS_DENIED_ACE_TYPE, sid, flags, mask);
}

// Each entry as "allow A", "deny B inherited 0x10000"…; the mask shown when not GENERIC_READ.
std::vector<std::string> describe(const Acl& acl) {
    const std::map<std::wstring, std::string> names = {
        {kA.toSidString(), "A"}, {kB.toSidString(), "B"}, {kC.toSidString(), "C"}, {L"S-1-5-18", "SYSTEM"}};
    std::vector<std::string> result;
    for (int index = 0; index < acl.end(); ++index) {
        const Ace ace = acl.getAce(index);
        std::string text = ace.type() == ACCESS_ALLOWED_ACE_TYPE  ? "allow"
                           : ace.type() == ACCESS_DENIED_ACE_TYPE ? "deny"
                                                                  : "type" + std::to_string(ace.type());
        const auto name = names.find(Sid(ace.sid()).toSidString());
        text += " " + (name == names.end() ? std::string("?") : name->second);
        if (ace.flags() & INHERITED_ACE) text += " inherited";
        if (ace.flags() & ~INHERITED_ACE) text += " flags" + std::to_string(ace.flags() & ~INHERITED_ACE);
        if (ace.mask() != GENERIC_READ) {
            char mask[16];
            std::snprintf(mask, sizeof mask, " 0x%lx", static_cast<unsigned long>(ace.mask()));
            text += mask;
        }
        result.push_back(text);
    }
    return result;
}

Acl listOf(const std::vector<Ace>& entries) {
    Acl acl;
    acl.add(entries);
    return acl;
}

}  // namespace

TEST(AclOrder, EveryInsertionKeepsTheCanonicalClassOrder) {
    struct Case {
        const char* what;
        std::vector<Ace> existing;
        Ace added;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"explicit deny goes first", {allow(kA), allow(kB)}, deny(kC), {"deny C", "allow B", "allow A"}},
        {"inherited allow goes after every explicit entry",
         {allow(kA), deny(kB)},
         allow(kC, INHERITED_ACE),
         {"deny B", "allow A", "allow C inherited"}},
        {"a new entry goes before those of its own class", {deny(kA), allow(kB)}, allow(kC), {"deny A", "allow C", "allow B"}},
        {"inherited deny goes after explicit allows", {allow(kA, INHERITED_ACE), allow(kB)}, deny(kC, INHERITED_ACE),
         {"allow B", "deny C inherited", "allow A inherited"}},
        {"an identical entry is not added twice", {allow(kA), deny(kB)}, allow(kA), {"deny B", "allow A"}},
        {"another mask is another entry", {allow(kA)}, allow(kA, 0, GENERIC_ALL), {"allow A 0x10000000", "allow A"}},
    };
    for (const Case& c : cases) {
        Acl acl = listOf(c.existing);
        acl.add({c.added});
        EXPECT_EQ(describe(acl), c.expected) << c.what;
    }

    // A list in the order it was written: a copy sorts by class and reverses each class.
    DWORD raw[64];
    PACL foreign = reinterpret_cast<PACL>(raw);
    ASSERT_TRUE(InitializeAcl(foreign, sizeof raw, ACL_REVISION));
    ASSERT_TRUE(AddAccessAllowedAce(foreign, ACL_REVISION, GENERIC_READ, kA.get()));
    ASSERT_TRUE(AddAccessDeniedAce(foreign, ACL_REVISION, GENERIC_READ, kB.get()));
    ASSERT_TRUE(AddAccessAllowedAce(foreign, ACL_REVISION, GENERIC_READ, kC.get()));
    Acl copy;
    copy.copy(foreign);
    EXPECT_EQ(describe(copy), (std::vector<std::string>{"deny B", "allow C", "allow A"}));
    EXPECT_THROW(copy.add({entry(SYSTEM_AUDIT_ACE_TYPE, kA)}), vexception);  // no class in a DACL
}

TEST(AclEntries, ObjectEntriesHoldTheirSidWhereTheirFlagsSay) {
    // Only the object type GUID: the SID follows it at 28, not at 44.
    DWORD raw[64];
    PACL foreign = reinterpret_cast<PACL>(raw);
    ASSERT_TRUE(InitializeAcl(foreign, sizeof raw, ACL_REVISION_DS));
    DWORD object[16] = {};  // written by hand: Wine has no AddAccessAllowedObjectAce
    auto* written = reinterpret_cast<ACCESS_ALLOWED_OBJECT_ACE*>(object);
    written->Header = {ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, static_cast<WORD>(28 + GetLengthSid(kB.get()))};
    written->Mask = GENERIC_READ;
    written->Flags = ACE_OBJECT_TYPE_PRESENT;
    written->ObjectType = GUID{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    ASSERT_TRUE(CopySid(GetLengthSid(kB.get()), reinterpret_cast<unsigned char*>(object) + 28, kB.get()));
    ASSERT_TRUE(AddAce(foreign, ACL_REVISION_DS, MAXDWORD, object, written->Header.AceSize));
    EXPECT_TRUE(AddAccessDeniedAce(foreign, ACL_REVISION_DS, GENERIC_READ, kA.get()));
    Acl copy;
    copy.copy(foreign);
    EXPECT_EQ(describe(copy), (std::vector<std::string>{"deny A", "type5 B"}));
    EXPECT_EQ(copy.findSid(kB.get()), 1);

    // Built here, an object entry carries both GUIDs and finds itself again.
    const Ace built = entry(ACCESS_ALLOWED_OBJECT_ACE_TYPE, kC);
    copy.add({built});
    EXPECT_EQ(copy.findAce(built), 1);

    // An entry too short for the SID it claims is refused, not read past.
    ACCESS_ALLOWED_OBJECT_ACE* listed = nullptr;
    ASSERT_TRUE(GetAce(foreign, 0, reinterpret_cast<void**>(&listed)));
    listed->Flags |= ACE_INHERITED_OBJECT_TYPE_PRESENT;
    EXPECT_TRUE(messageOf<vexception>([&] { copy.copy(foreign); }).starts_with(L"Malformed ACE (type 5"));
    EXPECT_EQ(messageOf<vexception>([] { entry(9, kA); }), L"Unsupported ACE type (9)");
}

TEST(AclSize, ListsGrowKeepingTheirOrderUpToTheLargestAnAclHolds) {
    std::vector<Ace> many;
    for (DWORD i = 1; i <= 200; ++i) many.push_back(allow(kA, 0, i));
    Acl acl = listOf(many);
    ASSERT_EQ(acl.end(), 200);
    EXPECT_EQ(acl.getAce(0).mask(), 200u);  // each went before the one added before it
    EXPECT_EQ(acl.getAce(199).mask(), 1u);

    for (DWORD i = 201; i <= 2000; ++i) many.push_back(allow(kA, 0, i));
    EXPECT_TRUE(messageOf<vexception>([&] { acl.add(many); }).starts_with(L"Unable to allocate new ACL: "));
    EXPECT_EQ(acl.end(), 200);
}

TEST(AclEntries, DeletingASidKeepsItsDenyEntriesOnlyWhenAsked) {
    const Acl acl = listOf({deny(kA), allow(kA), allow(kB), allow(kA, INHERITED_ACE)});
    EXPECT_EQ(describe(acl.deleteAce(kA.get(), true)), (std::vector<std::string>{"deny A", "allow B"}));
    EXPECT_EQ(describe(acl.deleteAce(kA.get(), false)), (std::vector<std::string>{"allow B"}));
    EXPECT_EQ(acl.end(), 4);
}

// The list that makes a file deletable: generic rights mapped, entries that
// differ only in flags and then only in masks merged, the own allow entries
// dropped and the owner's and SYSTEM's added.
TEST(DeleteAccess, TheNewListMergesMapsAndReplacesTheOwnEntries) {
    const Acl current = listOf({allow(kC, 0, GENERIC_READ), allow(kC, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, FILE_GENERIC_READ),
                                allow(kC, OBJECT_INHERIT_ACE, FILE_GENERIC_WRITE), deny(kA, 0, DELETE),
                                allow(kA, 0, GENERIC_ALL), allow(kB, 0, GENERIC_ALL)});
    const Acl result = RunTime::Access::deleteAccessList(current, DELETE | FILE_WRITE_ATTRIBUTES, kA, {kB}, true);
    EXPECT_EQ(describe(result), (std::vector<std::string>{"deny A 0x10000", "allow C flags1 0x12019f",
                                                          "allow SYSTEM flags3 0x10100", "allow A flags3 0x10100"}));
}

TEST(Sids, BuildConvertLookUpAndRefuseBadInput) {
    EXPECT_EQ(Sid::administrators().toSidString(), L"S-1-5-32-544");
    Sid admins(5, {32, 544});
    EXPECT_TRUE(admins == Sid::administrators());
    EXPECT_FALSE(admins == Sid::users());
    EXPECT_EQ(admins.accountText(), L"BUILTIN\\Administrators");

    Sid unknown(5, {21, 1, 2, 3, 1234});
    EXPECT_TRUE(messageOf<VNoneMappedException>([&] { unknown.lookupByAccountNameAndDomain(); })
                    .ends_with(L" at Unable to lookup name for SID"));
    EXPECT_EQ(unknown.accountText(), L"S-1-5-21-1-2-3-1234");

    EXPECT_TRUE(messageOf<vosexception>([] { Sid(5, {1, 2, 3, 4, 5, 6, 7, 8, 9}); })
                    .ends_with(L" at Unable to allocate and initialize sid"));
    unsigned char garbage[16] = {7, 1};
    EXPECT_TRUE(messageOf<vosexception>([&] { Sid{garbage}; }).ends_with(L" at Invalid sid"));
    EXPECT_TRUE(Sid(nullptr).empty());
}

// The constructor's contract asks only that the entries outlive it.
TEST(SecurityDescriptors, KeepTheirOwnOwnerAndGroup) {
    std::vector<unsigned char> owner(static_cast<unsigned char*>(kA.get()),
                                     static_cast<unsigned char*>(kA.get()) + GetLengthSid(kA.get()));
    std::vector<unsigned char> group(owner);
    SecurityDescriptor::Entry ownerEntry = SecurityDescriptor::allow(owner.data(), 0, 0);
    ownerEntry.kind = SecurityDescriptor::Owner;
    SecurityDescriptor::Entry groupEntry = SecurityDescriptor::allow(group.data(), 0, 0);
    groupEntry.kind = SecurityDescriptor::Group;
    SecurityDescriptor descriptor({ownerEntry, groupEntry}, false);
    std::memset(owner.data() + 8, 0xAB, owner.size() - 8);
    std::memset(group.data() + 8, 0xAB, group.size() - 8);

    PSID read = nullptr;
    BOOL defaulted = TRUE;
    ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor.descriptor(), &read, &defaulted));
    EXPECT_TRUE(read && EqualSid(read, kA.get()));
    ASSERT_TRUE(GetSecurityDescriptorGroup(descriptor.descriptor(), &read, &defaulted));
    EXPECT_TRUE(read && EqualSid(read, kA.get()));
}

TEST(Tokens, MembershipIgnoresDenyOnlyGroupsAndFailuresNameTheirStep) {
    ASSERT_TRUE(RunTime::Access::isTokenMember(nullptr)) << "the test needs an administrator's process";
    {
        const RunTime::AutoHandle impersonation = test_support::impersonateWithoutAdministrators();
        const bool member = RunTime::Access::isTokenMember(nullptr);
        RevertToSelf();
        EXPECT_FALSE(member);
        EXPECT_FALSE(RunTime::Access::isTokenMember(impersonation.get()));
    }
    const RunTime::AutoHandle notAToken(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_TRUE(messageOf<vosexception>([&] { RunTime::Access::isTokenMember(notAToken.get()); })
                    .ends_with(L" at Unable to get token information"));
}

// Wine's token holds SeTakeOwnershipPrivilege (disabled), as an administrator's does.
TEST(Privileges, HeldOnesEnableOthersFailByName) {
    using namespace RunTime::Access;
    EXPECT_TRUE(privilegeExist(L"SeTakeOwnershipPrivilege"));
    EXPECT_NO_THROW(enablePrivilege(L"SeTakeOwnershipPrivilege"));
    EXPECT_FALSE(privilegeExist(L"SeCreateTokenPrivilege"));
    try {
        enablePrivilege(L"SeCreateTokenPrivilege");
        ADD_FAILURE() << "enabled";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), static_cast<std::uint32_t>(ERROR_NOT_ALL_ASSIGNED));
        EXPECT_TRUE(e.message().ends_with(L" at Unable to adjust privilege (SeCreateTokenPrivilege)")) << e.message();
    }
    EXPECT_TRUE(messageOf<vosexception>([] { enablePrivilege(L"SeNoSuchPrivilege"); })
                    .ends_with(L" at Unable to find privilege (SeNoSuchPrivilege)"));
    EXPECT_TRUE(messageOf<vosexception>([] { privilegeExist(L"SeNoSuchPrivilege"); })
                    .ends_with(L" at The privilege (SeNoSuchPrivilege) is not found"));
}

// Wine keeps no file ACL: it maps what is written to the Unix mode and reads
// back a list made from that mode. What the lists hold is shown above.
TEST(ObjectSecurity, FilesAreReadAndRewrittenAndStaleAccountsDropped) {
    test_support::TempDir dir(L"rundock-security-");
    const std::wstring file = dir / L"file";
    test_support::writeBytes(file, "x");
    const Acl current = RunTime::Access::getSecurity(file, SE_FILE_OBJECT);
    EXPECT_GT(current.end(), 0);
    EXPECT_EQ(messageOf<vexception>([&] { RunTime::grantDeleteAccess(file, SE_FILE_OBJECT, DELETE | FILE_WRITE_ATTRIBUTES); }),
              L"(no failure)");
    EXPECT_TRUE(messageOf<VFileNotFoundException>([&] { RunTime::Access::getSecurity(dir / L"missing", SE_FILE_OBJECT); })
                    .ends_with(L" at Unable to get the object (" + dir / L"missing" + L") security info"));

    const Sid gone(5, {21, 1, 2, 3, 1234});
    const Acl stale = listOf({allow(gone), allow(Sid::everyone()), allow(Sid::localSystem()), deny(gone)});
    const Acl kept = RunTime::Access::removeStaleAces(stale);
    ASSERT_EQ(kept.end(), 2);
    EXPECT_EQ(kept.findSid(gone.get()), -1);
}
