// Access-control entries and lists, and security descriptors, as values.
#include <windows.h>

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "errors/vexception.h"
#include "runtime/acl.h"
#include "runtime/object_security.h"
#include "runtime/sid.h"
#include "tests/support/raised.h"

namespace {

using RunTime::Ace;
using RunTime::Acl;
using RunTime::Sid;
using test_support::messageOf;

// Accounts that need not exist: the lists never look them up.
const Sid kA(5, {21, 7, 7, 7, 1001}), kB(5, {21, 7, 7, 7, 1002}), kC(5, {21, 7, 7, 7, 1003});

Ace entry(BYTE type, const Sid& sid, BYTE flags = 0, ACCESS_MASK mask = GENERIC_READ) {
    return Ace::init(type, flags, mask, sid.get());
}
Ace allow(const Sid& sid, BYTE flags = 0, ACCESS_MASK mask = GENERIC_READ) {
    return entry(ACCESS_ALLOWED_ACE_TYPE, sid, flags, mask);
}
Ace deny(const Sid& sid, BYTE flags = 0, ACCESS_MASK mask = GENERIC_READ) {
    return entry(ACCESS_DENIED_ACE_TYPE, sid, flags, mask);
}

Acl listOf(const std::vector<Ace>& entries) {
    Acl acl;
    acl.add(entries);
    return acl;
}

// Each entry as "allow A", "deny B inherited", "type5 C flags3 0x10100"…; the mask when not GENERIC_READ.
std::vector<std::string> describe(const Acl& acl) {
    std::vector<std::string> result;
    for (int index = 0; index < acl.end(); ++index) {
        const Ace ace = acl.getAce(index);
        const Sid sid(ace.sid());
        std::string text = ace.type() == ACCESS_ALLOWED_ACE_TYPE ? "allow "
                           : ace.type() == ACCESS_DENIED_ACE_TYPE ? "deny " : "type" + std::to_string(ace.type()) + " ";
        text += sid == kA ? "A" : sid == kB ? "B" : sid == kC ? "C" : sid == Sid::localSystem() ? "SYSTEM" : "?";
        if (ace.flags() & INHERITED_ACE) text += " inherited";
        if (ace.flags() & ~INHERITED_ACE) text += " flags" + std::to_string(ace.flags() & ~INHERITED_ACE);
        char mask[16];
        std::snprintf(mask, sizeof mask, " 0x%lx", static_cast<unsigned long>(ace.mask()));
        result.push_back(ace.mask() == GENERIC_READ ? text : text + mask);
    }
    return result;
}

}  // namespace

TEST(Acls, EveryInsertionKeepsTheCanonicalClassOrder) {
    const std::tuple<std::vector<Ace>, Ace, std::vector<std::string>> cases[] = {
        {{allow(kA), allow(kB)}, deny(kC), {"deny C", "allow B", "allow A"}},  // a new entry leads its class
        {{allow(kA), deny(kB)}, allow(kC, INHERITED_ACE), {"deny B", "allow A", "allow C inherited"}},
        {{allow(kA, INHERITED_ACE), allow(kB)}, deny(kC, INHERITED_ACE),
         {"allow B", "deny C inherited", "allow A inherited"}},
        {{allow(kA), deny(kB)}, allow(kA), {"deny B", "allow A"}},  // an identical entry is not added twice
        {{allow(kA)}, allow(kA, 0, GENERIC_ALL), {"allow A 0x10000000", "allow A"}},
    };
    for (const auto& [existing, added, expected] : cases) {
        Acl acl = listOf(existing);
        acl.add({added});
        EXPECT_EQ(describe(acl), expected);
    }
    EXPECT_THROW(listOf({}).add({entry(SYSTEM_AUDIT_ACE_TYPE, kA)}), vexception);  // no class in a DACL
}

// A list in the order it was written: a copy sorts by class and reverses each class. An object entry holds its SID
// where its flags say, and one too short for the SID it claims is refused.
TEST(Acls, ACopySortsAForeignListAndReadsObjectEntriesWhereTheirFlagsSayRefusingShortOnes) {
    DWORD raw[64], object[16] = {};  // written by hand: Wine has no AddAccessAllowedObjectAce
    const PACL foreign = reinterpret_cast<PACL>(raw);
    ASSERT_TRUE(InitializeAcl(foreign, sizeof raw, ACL_REVISION_DS));
    ASSERT_TRUE(AddAccessAllowedAce(foreign, ACL_REVISION, GENERIC_READ, kA.get()));
    ASSERT_TRUE(AddAccessDeniedAce(foreign, ACL_REVISION, GENERIC_READ, kB.get()));
    ASSERT_TRUE(AddAccessAllowedAce(foreign, ACL_REVISION, GENERIC_READ, kC.get()));
    // Only the object type GUID: the SID follows it at 28, not at 44.
    auto* written = reinterpret_cast<ACCESS_ALLOWED_OBJECT_ACE*>(object);
    written->Header = {ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0, static_cast<WORD>(28 + GetLengthSid(kB.get()))};
    written->Mask = GENERIC_READ;
    written->Flags = ACE_OBJECT_TYPE_PRESENT;
    ASSERT_TRUE(CopySid(GetLengthSid(kB.get()), reinterpret_cast<unsigned char*>(object) + 28, kB.get()));
    ASSERT_TRUE(AddAce(foreign, ACL_REVISION_DS, MAXDWORD, object, written->Header.AceSize));
    Acl copy;
    copy.copy(foreign);
    EXPECT_EQ(describe(copy), (std::vector<std::string>{"deny B", "allow C", "allow A", "type5 B"}));
    const Ace built = entry(ACCESS_ALLOWED_OBJECT_ACE_TYPE, kC);  // carries both GUIDs and finds itself again
    copy.add({built});
    EXPECT_EQ(copy.findAce(built), 3);  // object entries are a class of their own, after the plain ones
    // An entry too short for the SID it claims is refused, not read past.
    ACCESS_ALLOWED_OBJECT_ACE* listed = nullptr;
    ASSERT_TRUE(GetAce(foreign, 3, reinterpret_cast<void**>(&listed)));
    listed->Flags |= ACE_INHERITED_OBJECT_TYPE_PRESENT;
    EXPECT_TRUE(messageOf<vexception>([&] { copy.copy(foreign); }).starts_with(L"Malformed ACE (type 5"));
}

TEST(Acls, ListsGrowKeepingTheirOrderUpToTheLargestAnAclHolds) {
    std::vector<Ace> many;
    for (DWORD i = 1; i <= 200; ++i) many.push_back(allow(kA, 0, i));
    Acl acl = listOf(many);
    ASSERT_EQ(acl.end(), 200);
    EXPECT_TRUE(acl.getAce(0).mask() == 200u && acl.getAce(199).mask() == 1u);  // each went before the one before it
    for (DWORD i = 201; i <= 2000; ++i) many.push_back(allow(kA, 0, i));
    EXPECT_TRUE(messageOf<vexception>([&] { acl.add(many); }).starts_with(L"Unable to allocate new ACL: "));
    EXPECT_EQ(acl.end(), 200);
    // One at a time up to the 16-bit size (about 1,800 entries of 36 bytes): the one that would not fit raises and
    // leaves the list as it was.
    DWORD mask = 200;
    while (messageOf<vexception>([&] { acl.add({allow(kA, 0, ++mask)}); }) == L"(no failure)") ASSERT_LT(mask, 3000u);
    EXPECT_TRUE(acl.end() == int(mask) - 1 && acl.end() > 1800 && acl.getAce(0).mask() == mask - 1) << acl.end();
}

// Deleting a SID keeps its deny entries, plain and object ones, only when asked; a name of 32 characters or more is
// still shown; accounts that no longer exist leave the list that is written back. The list that makes a file deletable:
// generic rights mapped, entries that differ only in flags and then only in masks merged, the own allow entries dropped
// (deny entries of every type stay) and the owner's and SYSTEM's added.
TEST(Acls, DeletingASidOrStaleAccountsAndMakingAFileDeletableKeepOnlyWhatTheySay) {
    const Acl acl = listOf({deny(kA), allow(kA), allow(kB), allow(kA, INHERITED_ACE),
                            entry(ACCESS_DENIED_OBJECT_ACE_TYPE, kA), entry(ACCESS_ALLOWED_OBJECT_ACE_TYPE, kA)});
    EXPECT_EQ(describe(acl.deleteAce(kA.get(), true)), (std::vector<std::string>{"deny A", "type6 A", "allow B"}));
    EXPECT_EQ(describe(acl.deleteAce(kA.get(), false)), (std::vector<std::string>{"allow B"}));
    // Names of 32 characters and more (BUILTIN\Pre-Windows 2000 Compatible Access) are looked up again in room enough.
    Sid named(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_PREW2KCOMPACCESS});
    const std::wstring text = named.accountText();
    EXPECT_EQ(text, named.domain() + L"\\" + named.name());
    EXPECT_GE(named.name().size(), 32u);
    const Sid gone(5, {21, 1, 2, 3, 1234});
    const Acl kept = RunTime::Access::removeStaleAces(listOf({allow(gone), allow(Sid::everyone()), deny(gone)}));
    EXPECT_TRUE(kept.end() == 1 && kept.findSid(Sid::everyone().get()) == 0);
    const Acl current = listOf({allow(kC), allow(kC, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, FILE_GENERIC_READ),
                                allow(kC, OBJECT_INHERIT_ACE, FILE_GENERIC_WRITE), deny(kA, 0, DELETE),
                                allow(kA, 0, GENERIC_ALL), allow(kB, 0, GENERIC_ALL), deny(kB, 0, FILE_READ_DATA),
                                entry(ACCESS_DENIED_OBJECT_ACE_TYPE, kB, 0, FILE_WRITE_DATA)});
    EXPECT_EQ(describe(RunTime::Access::deleteAccessList(current, DELETE | FILE_WRITE_ATTRIBUTES, kA, {kB}, true, 0)),
              (std::vector<std::string>{"deny B 0x1", "deny A 0x10000", "type6 B 0x2", "allow C flags1 0x12019f",
                                        "allow SYSTEM 0x10100", "allow A 0x10100"}));
}
