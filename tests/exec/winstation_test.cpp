// Access to the interactive window station and desktop, against the real objects.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "errors/format.h"
#include "errors/vexception.h"
#include "exec/launcher.h"
#include "exec/winstation.h"
#include "runtime/acl.h"
#include "runtime/local_memory.h"
#include "runtime/sid.h"
#include "tests/support/impersonation.h"
#include "tests/support/log_records.h"
#include "tests/support/process_runner.h"
#include "tests/support/raised.h"

namespace {

using RunTime::Sid;
using Masks = std::vector<std::wstring>;

// The masks of the allow entries for sid; "null" for a null DACL. The DACL itself is copied to saved, if given.
Masks allowed(HANDLE object, const Sid& sid, RunTime::Acl* saved = nullptr) {
    PACL dacl = nullptr;
    RunTime::LocalMemory<void> descriptor;
    GetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                    descriptor.put());
    if (saved) saved->copy(dacl);
    if (!dacl) return {L"null"};
    Masks masks;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (GetAce(dacl, index, reinterpret_cast<void**>(&entry)) && entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&entry->SidStart, sid.get()))
            masks.push_back(formatString(L"%lx", static_cast<unsigned long>(entry->Mask)));
    }
    return masks;
}

// Wine's objects start with a null DACL; each test starts from that state and puts back what it found.
class WindowStations : public testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 2; ++i) {
            hadDacl_[i] = allowed(objects_[i], Sid::everyone(), &saved_[i]) != Masks{L"null"};
            setDacl(i, nullptr);
        }
    }
    void TearDown() override {
        for (int i = 0; i < 2; ++i) setDacl(i, hadDacl_[i] ? saved_[i].get() : nullptr);
        EXPECT_EQ(RunTime::WinStation().handle(), processStation_) << "left on another station";
    }
    void setDacl(int object, PACL dacl) {
        ASSERT_EQ(SetSecurityInfo(objects_[object], SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                  nullptr), DWORD{ERROR_SUCCESS});
    }

    const HWINSTA processStation_ = RunTime::WinStation().handle();
    RunTime::WinStation station_{L"winsta0"};
    RunTime::Desktop desktop_{L"default"};
    const HANDLE objects_[2] = {station_.handle(), desktop_.handle()};
    RunTime::Acl saved_[2];
    bool hadDacl_[2] = {};
};

}  // namespace

// Two children under a user without administrators' rights: the first start gives the user's group its entries beside
// Everyone's full access, which a null DACL gave; the second finds them. Only administrators may change the DACLs: the
// grant is the process's, not the user's. (That such a child runs to its end: ProcessHelper.Impersonating...)
TEST_F(WindowStations, AChildUnderARestrictedTokenGetsItsGroupsEntriesOnce) {
    const RunTime::AutoHandle impersonation = test_support::impersonateWithoutAdministrators();
    vexecutil children[2];
    for (vexecutil& child : children) {
        child.executable = test_process::siblingPath(L"rdchild.exe");
        child.arguments = L"exit 3";
        child.noWindow = true;
        EXPECT_NO_THROW(child.start());
    }
    RevertToSelf();
    EXPECT_EQ((std::vector<Masks>{allowed(objects_[0], Sid::users()), allowed(objects_[1], Sid::users()),
                                  allowed(objects_[0], Sid::everyone()), allowed(objects_[1], Sid::everyone())}),
              (std::vector<Masks>{{L"f037f"}, {L"f01ff"}, {L"10000000"}, {L"10000000"}}));
}

// Neither a read-only entry nor a deny or inherit-only one counts as access: a full entry joins them, once, and then
// counts, as an entry of GENERIC_ALL does. A missing desktop names its failure, and the thread impersonates again.
TEST_F(WindowStations, OnlyAFullAllowEntryCountsAsAccess) {
    Sid users = Sid::users();
    RunTime::Acl acl, all;
    acl.add({RunTime::Ace::init(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_READ, users.get()),
             RunTime::Ace::init(ACCESS_DENIED_ACE_TYPE, 0, GENERIC_ALL, users.get()),
             RunTime::Ace::init(ACCESS_ALLOWED_ACE_TYPE, INHERIT_ONLY_ACE, GENERIC_ALL, users.get())});
    all.add({RunTime::Ace::init(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, users.get())});
    setDacl(0, all.get());
    setDacl(1, acl.get());
    test_log::Recorder recorder;
    station_.addAccess(users);
    for (int i = 0; i < 2; ++i) desktop_.addAccess(users);
    EXPECT_EQ(allowed(station_.handle(), users), Masks{L"10000000"});
    EXPECT_EQ(allowed(desktop_.handle(), users), (Masks{L"f01ff", L"80000000", L"10000000"}));
    const std::wstring already = L" already has required access for user " + users.accountText();
    EXPECT_EQ(recorder.records, (std::vector<std::wstring>{L"Info: Winstation" + already, L"Info: Desktop" + already}));
    const RunTime::AutoHandle user = test_support::impersonateWithoutAdministrators();
    const auto grant = [&] { RunTime::grantWinStationAccess(user.get(), L"winsta0", L"rd-none"); };
    EXPECT_EQ(test_support::messageOf<vosexception>(grant),
              vosexception::composeMessage(ERROR_FILE_NOT_FOUND, L"Unable to open desktop"));
    RunTime::AutoHandle token;
    EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) << "no longer impersonating";
    RevertToSelf();
}

TEST(AccountClass, FollowsTheFirstGroupTheTokenHolds) {
    RunTime::AutoHandle process;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, process.put()));
    EXPECT_TRUE(RunTime::accountClassGroup(process.get()) == Sid::administrators());
    const RunTime::AutoHandle none = test_support::restrictedToken({&Sid::administrators(), &Sid::users()});
    EXPECT_TRUE(RunTime::accountClassGroup(none.get()) == Sid::users());  // deny-only groups do not count
}
