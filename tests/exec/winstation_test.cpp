// Access to the interactive window station and desktop, against the real
// objects. Wine gives both a null DACL until someone writes one; each test
// starts from that state and puts back what it found.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "errors/vexception.h"
#include "exec/launcher.h"
#include "exec/winstation.h"
#include "tests/support/impersonation.h"
#include "tests/support/log_records.h"
#include "tests/support/process_runner.h"

namespace {

using RunTime::Sid;

// The masks of the allow entries for sid; "null" for a null DACL.
std::vector<std::wstring> allowed(HANDLE object, const Sid& sid) {
    PACL dacl = nullptr;
    RunTime::LocalMemory<void> descriptor;
    EXPECT_EQ(GetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              descriptor.put()),
              static_cast<DWORD>(ERROR_SUCCESS));
    if (!dacl) return {L"null"};
    std::vector<std::wstring> masks;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (GetAce(dacl, index, reinterpret_cast<void**>(&entry)) && entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            EqualSid(&entry->SidStart, sid.get()))
            masks.push_back(formatString(L"%lx", static_cast<unsigned long>(entry->Mask)));
    }
    return masks;
}

void setDacl(HANDLE object, PACL dacl) {
    ASSERT_EQ(SetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
}

class WindowStations : public testing::Test {
protected:
    void SetUp() override {
        saved_[0] = save(station_.handle());
        saved_[1] = save(desktop_.handle());
        setDacl(station_.handle(), nullptr);
        setDacl(desktop_.handle(), nullptr);
    }
    void TearDown() override {
        setDacl(station_.handle(), saved_[0].second ? saved_[0].first.get() : nullptr);
        setDacl(desktop_.handle(), saved_[1].second ? saved_[1].first.get() : nullptr);
        EXPECT_EQ(RunTime::WinStation().handle(), processStation_) << "left on another station";
    }

    static std::pair<RunTime::Acl, bool> save(HANDLE object) {
        PACL dacl = nullptr;
        RunTime::LocalMemory<void> descriptor;
        GetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        descriptor.put());
        RunTime::Acl acl;
        acl.copy(dacl);
        return {std::move(acl), dacl != nullptr};
    }

    const HWINSTA processStation_ = RunTime::WinStation().handle();
    RunTime::WinStation station_{L"winsta0"};
    RunTime::Desktop desktop_{L"default"};
    std::pair<RunTime::Acl, bool> saved_[2];
};

}  // namespace

TEST_F(WindowStations, ANullDaclGetsTheGroupBesideEveryonesFullAccess) {
    RunTime::AutoHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    RunTime::grantWinStationAccess(token.get(), L"winsta0", L"default");
    EXPECT_EQ(allowed(station_.handle(), Sid::administrators()), std::vector<std::wstring>{L"f037f"});
    EXPECT_EQ(allowed(station_.handle(), Sid::everyone()), std::vector<std::wstring>{L"10000000"});
    EXPECT_EQ(allowed(desktop_.handle(), Sid::administrators()), std::vector<std::wstring>{L"f01ff"});
    EXPECT_EQ(allowed(desktop_.handle(), Sid::everyone()), std::vector<std::wstring>{L"10000000"});
}

TEST_F(WindowStations, FullAccessStaysAsItIsAndReadAccessGetsAFullEntry) {
    RunTime::Acl acl;
    acl.add({RunTime::Ace::init(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, Sid::users().get())});
    setDacl(station_.handle(), acl.get());
    acl.clear();
    acl.add({RunTime::Ace::init(ACCESS_ALLOWED_ACE_TYPE, 0, 0x20041, Sid::users().get()),
             RunTime::Ace::init(ACCESS_DENIED_ACE_TYPE, 0, 0xF01FF, Sid::guests().get())});
    setDacl(desktop_.handle(), acl.get());
    test_log::Recorder log;
    Sid users = Sid::users();
    station_.addAccess(users);
    desktop_.addAccess(users);
    EXPECT_EQ(allowed(station_.handle(), Sid::users()), std::vector<std::wstring>{L"10000000"});
    EXPECT_EQ(allowed(desktop_.handle(), Sid::users()), (std::vector<std::wstring>{L"f01ff", L"20041"}));
    EXPECT_EQ(log.records, std::vector<std::wstring>{L"Info: Winstation already has required access for user " +
                                                      users.accountText()});
    // A full mask in a deny entry is no access at all.
    Sid guests = Sid::guests();
    desktop_.addAccess(guests);
    EXPECT_EQ(allowed(desktop_.handle(), Sid::guests()), std::vector<std::wstring>{L"f01ff"});
}

TEST_F(WindowStations, AMissingDesktopFailsAndLeavesTheProcessOnItsStation) {
    RunTime::AutoHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    try {
        RunTime::grantWinStationAccess(token.get(), L"winsta0", L"no-such-desktop");
        FAIL() << "granted";
    } catch (const vexception& e) {
        EXPECT_TRUE(e.message().ends_with(L" at Unable to open desktop")) << e.message();
    }
    EXPECT_EQ(allowed(station_.handle(), Sid::administrators()), std::vector<std::wstring>{L"null"});
}

// Deny-only groups do not count; a token in none of the three gets Users.
TEST(AccountClass, FollowsTheFirstGroupTheTokenHolds) {
    RunTime::AutoHandle process;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, process.put()));
    EXPECT_TRUE(RunTime::accountClassGroup(process.get()) == Sid::administrators());
    const RunTime::AutoHandle noAdmins = test_support::restrictedToken({&Sid::administrators()});
    EXPECT_TRUE(RunTime::accountClassGroup(noAdmins.get()) == Sid::users());
    const RunTime::AutoHandle none = test_support::restrictedToken({&Sid::administrators(), &Sid::users()});
    EXPECT_TRUE(RunTime::accountClassGroup(none.get()) == Sid::users());
}

// Two children under a user without administrators' rights: the first start
// gives Users its entries, the second finds them. Only administrators may
// change the DACLs: the grant is the process's, not the user's.
TEST_F(WindowStations, AChildUnderARestrictedTokenGetsItsGroupsEntriesOnce) {
    for (const auto& [object, read] : {std::pair<HANDLE, ACCESS_MASK>{station_.handle(), 0x20303},
                                       std::pair<HANDLE, ACCESS_MASK>{desktop_.handle(), 0x20041}}) {
        RunTime::Acl acl;
        acl.add({RunTime::Ace::init(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, Sid::administrators().get()),
                 RunTime::Ace::init(ACCESS_ALLOWED_ACE_TYPE, 0, read, Sid::everyone().get())});
        setDacl(object, acl.get());
    }
    const RunTime::AutoHandle impersonation = test_support::impersonateWithoutAdministrators();
    vexecutil first, second;
    for (vexecutil* child : {&first, &second}) {
        child->executable = test_process::siblingPath(L"rdchild.exe");
        child->arguments = L"exit 3";
        child->noWindow = true;
        EXPECT_NO_THROW(child->start());
    }
    RevertToSelf();
    for (vexecutil* child : {&first, &second}) {
        EXPECT_TRUE(child->waitForExit(30000));
        EXPECT_EQ(child->exitCode(), 3u);
    }
    EXPECT_EQ(allowed(station_.handle(), Sid::users()), std::vector<std::wstring>{L"f037f"});
    EXPECT_EQ(allowed(desktop_.handle(), Sid::users()), std::vector<std::wstring>{L"f01ff"});
}
