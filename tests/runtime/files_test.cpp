// The file-system layer against the real file system, each test in a fresh
// directory below the temporary directory; and the owner of handles.
#include <windows.h>

#include <gtest/gtest.h>

#include <sddl.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <map>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/access_token.h"
#include "runtime/acl.h"
#include "runtime/files.h"
#include "runtime/object_security.h"
#include "runtime/paths.h"
#include "runtime/registry.h"
#include "runtime/sid.h"
#include "tests/support/impersonation.h"
#include "tests/support/platform.h"
#include "tests/support/process_runner.h"
#include "tests/support/raised.h"
#include "tests/support/temp_dir.h"
#include "threads/recycler.h"

using test_support::messageOf;

namespace {

bool contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

// Counts its closes; empty is INVALID_HANDLE_VALUE, as for files.
struct CountingTraits : RunTime::FileHandleTraits {
    static inline int closes = 0;
    static void close(HANDLE handle) noexcept {
        ++closes;
        CloseHandle(handle);
    }
};
HANDLE newEvent(BOOL inheritable = FALSE) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, inheritable};
    return CreateEventW(&attributes, TRUE, FALSE, nullptr);
}
bool isOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags);
}

// An object's owner, whether its list is protected and holds inherited entries, and the rights its allow entries give
// on the object itself by SID, generic rights mapped for files; read through the object itself.
using Security = std::tuple<std::wstring, bool, bool, std::map<std::wstring, DWORD>>;
Security securityOf(const std::wstring& path) {
    const RunTime::Access::ObjectSecurity security = RunTime::Access::objectSecurity(path, SE_FILE_OBJECT);
    Security result{security.owner.toSidString(), security.protectedDacl, false, {}};
    for (int index = 0; index < security.dacl.end(); ++index) {
        const RunTime::Ace entry = security.dacl.getAce(index);
        GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
        DWORD mask = entry.mask();
        MapGenericMask(&mask, &mapping);
        std::get<2>(result) |= (entry.flags() & INHERITED_ACE) != 0;
        if (entry.type() == ACCESS_ALLOWED_ACE_TYPE && !(entry.flags() & INHERIT_ONLY_ACE))
            std::get<3>(result)[RunTime::Sid(entry.sid()).toSidString()] |= mask;
    }
    return result;
}

// A junction at link to the directory target: a mount-point reparse buffer (eight 16-bit header words: the tag, the
// data size, a reserved word, the substitute name's offset and size, the empty print name's), then both names.
bool makeJunction(const std::wstring& link, const std::wstring& target) {
    const std::wstring names = (L"\\??\\" + target).append(2, L'\0');
    const WORD bytes = static_cast<WORD>((names.size() - 2) * 2);
    std::wstring data{LOWORD(IO_REPARSE_TAG_MOUNT_POINT), HIWORD(IO_REPARSE_TAG_MOUNT_POINT),
                      wchar_t(names.size() * 2 + 8), 0, 0, bytes, wchar_t(bytes + 2), 0};
    data += names;
    DWORD returned = 0;
    return CreateDirectoryW(link.c_str(), nullptr) &&
           DeviceIoControl(RunTime::File::openObject(link, GENERIC_WRITE).get(), FSCTL_SET_REPARSE_POINT, data.data(),
                           static_cast<DWORD>(data.size() * 2), nullptr, 0, &returned, nullptr);
}

}  // namespace

class Files : public testing::Test {
protected:
    void TearDown() override {
        SetCurrentDirectoryW(savedDirectory_.c_str());
        temp_.reset();
        // Fails when a test leaves a handle open below the directory.
        EXPECT_EQ(GetFileAttributesW(root_.c_str()), INVALID_FILE_ATTRIBUTES) << "left behind";
    }
    std::wstring path(const std::wstring& relative) const { return root_ + L"\\" + relative; }

    const std::wstring savedDirectory_ = RunTime::currentDirectory();
    std::optional<test_support::TempDir> temp_{std::in_place, L"rundock-files-"};
    const std::wstring root_ = temp_->path();
};

TEST_F(Files, WholeFileWritesTruncateOrKeepWhatExistsAndFileObjectsNameTheFileInFailures) {
    std::string bytes;
    for (int byte = 0; byte < 256 * 9; ++byte) bytes += static_cast<char>(byte);  // read chunks, the last partial
    for (const std::string& content : {bytes, std::string("short")}) {
        EXPECT_TRUE(VFile::writeAll(path(L"data"), content, true));
        EXPECT_EQ(VFile::readAll(path(L"data")), content);
    }
    EXPECT_FALSE(VFile::writeAll(path(L"data"), "other", false));
    EXPECT_THROW(VFile::readAll(path(L"missing\\x")), VPathNotFoundException);
    VFile file;
    file.open(path(L"data"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    char buffer[8] = {};
    EXPECT_EQ(std::string(buffer, file.read(buffer, sizeof buffer)), "short");
    LONG high = 0;
    SetLastError(ERROR_FILE_NOT_FOUND);  // a low half of 0xFFFFFFFF is no failure, whatever the last error was
    EXPECT_EQ(file.seek(-1, &high, FILE_BEGIN), 0xFFFFFFFFu);
    EXPECT_TRUE(contains(messageOf<VAccessDeniedException>([&] { file.write("x", 1, true); }),
                         L"Write to file '" + path(L"data") + L"'"));
    EXPECT_THROW(file.open(path(L"missing"), GENERIC_READ, 0, OPEN_EXISTING, 0), VFileNotFoundException);
    EXPECT_EQ(file.name(), path(L"data"));  // a failed open leaves the open file alone
    EXPECT_TRUE(file.handle() != INVALID_HANDLE_VALUE && isOpen(file.handle()));
    // A stream file's second writer is refused.
    const RunTime::FileHandle output = RunTime::File::openForWriting(path(L"x.log"));
    ASSERT_TRUE(SetCurrentDirectoryW(root_.c_str()));
    EXPECT_TRUE(contains(messageOf<VSharingViolationException>([&] { RunTime::File::openForWriting(L"x.log"); }),
                         L"Unable to create file '" + path(L"x.log") + L"'"));
}

// Agents starting together make the same directories: whoever comes second to one of them must not fail.
TEST_F(Files, DirectoriesAreMadeWhileOthersRaceNotBelowAFileAndLongNonAsciiPathsWorkEvenAsTheCurrentDirectory) {
    for (int round = 0; round < 10; ++round) {
        const std::wstring deep = path(L"race" + std::to_wstring(round) + L"/1/2/3/4/5/6/7/8/");
        const RunTime::AutoHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back([&, i] {
                WaitForSingleObject(go.get(), INFINITE);
                const auto create = [&] { VDirectory::createDirectory(deep + std::to_wstring(i % 4), nullptr); };
                if (messageOf<vexception>(create) != L"(no failure)") ++failures;
            });
        SetEvent(go.get());
        for (std::thread& thread : threads) thread.join();
        ASSERT_EQ(failures, 0) << "round " << round;
    }
    ASSERT_TRUE(VFile::writeAll(path(L"file"), "x", true));
    EXPECT_TRUE(contains(messageOf<VAlreadyExistsException>([&] { VDirectory::createDirectory(path(L"file\\a"), nullptr); }),
                         L"CreateDirectory(" + path(L"file") + L")"));
    EXPECT_THROW(VDirectory::createDirectory(L"", nullptr), ArgumentException);
    // A drive that is not mapped ends the climb to the root.
    const std::wstring missing(1, wchar_t(L'A' + std::countr_one(GetLogicalDrives() | 3u)));
    EXPECT_THROW(VDirectory::createDirectory(missing + L":\\a\\b", nullptr), vosexception);
    EXPECT_THROW(RunTime::Access::getSecurity(path(L"missing"), SE_FILE_OBJECT), VFileNotFoundException);
    const std::wstring wide = L"\u65e5\u672c-\u00fc\u00df-\u0436";
    std::wstring deep = root_;
    for (wchar_t level : {L'a', L'b', L'c'}) deep += L"\\" + wide + std::wstring(100, level);
    VDirectory::createDirectory(deep, nullptr);
    const std::wstring file = deep + L"\\" + wide + L".txt";
    EXPECT_TRUE(VFile::writeAll(file, std::string("\xe6\x97\xa5\0\xff", 5), true));
    EXPECT_EQ(VFile::readAll(file), std::string("\xe6\x97\xa5\0\xff", 5));
    // Only the given bits clear; hidden rather than archive, which Wine reports on every file.
    ASSERT_TRUE(SetFileAttributesW((L"\\\\?\\" + file).c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    setFileAttributes(file, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(getFileAttributes(file) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    VFileFinder finder;
    EXPECT_TRUE(finder.first(deep + L"\\*.txt") && finder.name() == wide + L".txt");
    bool directory = false;  // a missing parent is no failure, only an answer
    EXPECT_TRUE(fileExist(deep, &directory) && directory && !fileExist(deep + L"\\missing\\x") && !finder.next());
    EXPECT_FALSE(finder.first(deep + L"\\missing\\*"));
    // Past the 256 characters the first buffer holds, and past MAX_PATH: the manifest makes the program long-path
    // aware, so only a system with long paths switched off may refuse it.
    if (!SetCurrentDirectoryW(deep.c_str()) && !test_support::longPathsSwitchedOn())
        GTEST_SKIP() << "long paths are switched off on this system";
    EXPECT_EQ(RunTime::currentDirectory() + L"|" + VDirectory::current(), deep + L"|" + deep);
}

// A missing file is removed already; a read-only file needs force; a busy
// one cannot move to the recycler, and the error names the step.
TEST_F(Files, RemoveFileDeletesOrMovesToTheRecyclerOrExplainsWhyNot) {
    removeFile(path(L"missing"), false, false, 3, 60000);  // no retry, no pause
    ASSERT_TRUE(VFile::writeAll(path(L"ro"), "x", true) && SetFileAttributesW(path(L"ro").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_THROW(removeFile(path(L"ro"), false, false, 1, 1), VAccessDeniedException);
    removeFile(path(L"ro"), true, false, 0, 0);
    const std::wstring recycler = recyclerPath(path(L"x"));
    EXPECT_EQ(recycler, root_.substr(0, 3) + L"Recycler\\{86066D57-9347-46a7-B4DB-971D9EF36D29}");
    const std::size_t before = test_support::fileNames(recycler + L"\\*").size();  // the recycler is shared
    ASSERT_TRUE(VFile::writeAll(path(L"plain"), "x", true) && VFile::writeAll(path(L"ro"), "x", true));
    ASSERT_TRUE(SetFileAttributesW(path(L"ro").c_str(), FILE_ATTRIBUTE_READONLY));
    removeFile(path(L"plain"), false, true, 0, 0);
    removeFile(path(L"ro"), true, true, 0, 0);  // moved read-only, deleted there
    EXPECT_FALSE(fileExist(path(L"ro")) || fileExist(path(L"plain")));
    EXPECT_EQ(test_support::fileNames(recycler + L"\\*").size(), before) << "left in the recycler";
    ASSERT_TRUE(VFile::writeAll(path(L"busy"), "x", true));
    VFile held;
    held.open(path(L"busy"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    EXPECT_TRUE(contains(messageOf<VSharingViolationException>([&] { removeFile(path(L"busy"), true, true, 2, 10); }),
                         L" at Move file '" + path(L"busy") + L"' to '\\\\?\\" + recycler + L"\\"));
}

// While another holder's deletion is pending, the file cannot be opened, so clearing its read-only bit fails; the
// retries go on all the same and find it gone once the holder lets go.
TEST_F(Files, ForcedRemovalRetriesPastAFailedClearingUntilTheFileIsGone) {
    if (test_support::runningUnderWine()) GTEST_SKIP() << "Wine still opens a file whose deletion is pending";
    ASSERT_TRUE(VFile::writeAll(path(L"pending"), "x", true));
    RunTime::FileHandle holder(CreateFileW(path(L"pending").c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                           FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
    FILE_DISPOSITION_INFO pending{TRUE};
    ASSERT_TRUE(holder.valid() && SetFileInformationByHandle(holder.get(), FileDispositionInfo, &pending, sizeof pending));
    std::thread release([&] {
        Sleep(300);
        holder.reset();
    });
    EXPECT_NO_THROW(removeFile(path(L"pending"), true, false, 200, 50));
    release.join();
    EXPECT_FALSE(fileExist(path(L"pending")));
}

// The agent runs with high rights: a link must never lead it to re-own, re-list or re-mark what lies elsewhere. Each
// link is read-only itself, so that only the forced path (ownership, delete access, the bit cleared) removes it.
TEST_F(Files, RemoveFileTakesAJunctionOrFileLinkAndLeavesItsTargetAsItWas) {
    if (test_support::runningUnderWine()) GTEST_SKIP() << "Wine 8 makes no links and keeps no file lists";
    ASSERT_TRUE(CreateDirectoryW(path(L"target").c_str(), nullptr) && VFile::writeAll(path(L"target\\kept"), "x", true) &&
                VFile::writeAll(path(L"file"), "x", true));
    ASSERT_TRUE(makeJunction(path(L"junction"), path(L"target"))) << GetLastError();
    if (!CreateSymbolicLinkW(path(L"link").c_str(), path(L"file").c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE))
        GTEST_SKIP() << "this account may not make symbolic links (error " << GetLastError() << ")";
    std::map<std::wstring, Security> before;
    for (const wchar_t* name : {L"target", L"target\\kept", L"file"}) {
        ASSERT_TRUE(SetFileAttributesW(path(name).c_str(), FILE_ATTRIBUTE_READONLY));
        before[name] = securityOf(path(name));
    }
    for (const wchar_t* link : {L"junction", L"link"}) {
        RunTime::File::changeObjectAttributes(path(link), FILE_ATTRIBUTE_READONLY, 0);
        removeFile(path(link), true, false, 0, 0);
        EXPECT_EQ(GetFileAttributesW(path(link).c_str()), INVALID_FILE_ATTRIBUTES) << link;
    }
    for (const auto& [name, security] : before) {
        EXPECT_EQ(securityOf(path(name)), security) << name;
        EXPECT_TRUE(getFileAttributes(path(name)) & FILE_ATTRIBUTE_READONLY) << name;
    }
}

// Read back: the recycler's lists and that of a file left there (read-only, moved without force) are protected, take
// nothing from the volume root (where Users may read), and let only administrators and SYSTEM read.
TEST_F(Files, TheRecyclerAndWhatStaysThereHaveProtectedListsOfTheirOwn) {
    if (test_support::runningUnderWine())
        GTEST_SKIP() << "Wine keeps no file lists: it reads back a list made from the Unix mode";
    const std::wstring recycler = recyclerPath(path(L"x"));
    std::map<std::wstring, DWORD> expected{{L"S-1-5-32-544", FILE_ALL_ACCESS}, {L"S-1-5-18", FILE_ALL_ACCESS},
                                           {L"S-1-1-0", 0x1200A1}};
    const auto listOf = [](Security security) {  // the owner may be any of those the recycler trusts
        std::get<0>(security).clear();
        return security;
    };
    EXPECT_EQ(listOf(securityOf(recycler.substr(0, recycler.rfind(L'\\')))), Security(L"", true, false, expected));
    expected[L"S-1-1-0"] = 0x1200E7;
    EXPECT_EQ(listOf(securityOf(recycler)), Security(L"", true, false, expected));
    const std::vector<std::wstring> held = test_support::fileNames(recycler + L"\\*");
    ASSERT_TRUE(VFile::writeAll(path(L"ro"), "x", true) && SetFileAttributesW(path(L"ro").c_str(), FILE_ATTRIBUTE_READONLY));
    removeFile(path(L"ro"), false, true, 0, 0);
    std::vector<std::wstring> stayed;
    for (const std::wstring& name : test_support::fileNames(recycler + L"\\*"))
        if (std::find(held.begin(), held.end(), name) == held.end()) stayed.push_back(recycler + L"\\" + name);
    ASSERT_EQ(stayed.size(), 1u);
    const Security security = listOf(securityOf(stayed[0]));
    SetFileAttributesW(stayed[0].c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(stayed[0].c_str());
    expected[L"S-1-1-0"] = 0x130080;
    EXPECT_EQ(security, Security(L"", true, false, expected));
}

// Windows deletes no loaded DLL: the forced removal fails after taking ownership and rewriting the list. It puts the
// list back first, then the owner, SYSTEM here (neither this account nor its default owner), which only
// SeRestorePrivilege may give. Under a token without that privilege (or take-ownership) the list still goes back, and
// the error says that something stays changed.
TEST_F(Files, AForcedRemovalThatStillFailsPutsTheListBackAndTheOwnerWhereThePrivilegeAllows) {
    if (test_support::runningUnderWine()) GTEST_SKIP() << "Wine keeps no file lists and deletes a loaded DLL";
    if (!RunTime::Access::privilegeExist(SE_RESTORE_NAME))
        GTEST_SKIP() << "giving a file to SYSTEM needs SeRestorePrivilege";
    RunTime::Access::enablePrivilege(SE_RESTORE_NAME);
    for (const bool privileged : {true, false}) {
        SCOPED_TRACE(privileged);
        const std::wstring dll = path(privileged ? L"a.dll" : L"b.dll");
        ASSERT_TRUE(CopyFileW(test_process::siblingPath(L"rdprobe.dll").c_str(), dll.c_str(), TRUE));
        ASSERT_EQ(SetNamedSecurityInfoW(const_cast<wchar_t*>(dll.c_str()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                        RunTime::Sid::localSystem().get(), nullptr, nullptr, nullptr),
                  DWORD(ERROR_SUCCESS));
        const Security before = securityOf(dll);
        const HMODULE loaded = LoadLibraryW(dll.c_str());
        ASSERT_NE(loaded, nullptr);
        RunTime::AutoHandle token;
        if (!privileged)
            token = test_support::impersonate(
                test_support::restrictedToken({}, TokenImpersonation, DISABLE_MAX_PRIVILEGE));
        const std::wstring error = messageOf<vexception>([&] { removeFile(dll, true, false, 0, 0); },
                                                         [](const vexception& e) { return fullMessage(e); });
        RevertToSelf();
        Security after = securityOf(dll);
        EXPECT_EQ(std::get<0>(after) == std::get<0>(before), privileged);
        std::get<0>(after) = std::get<0>(before);
        EXPECT_EQ(after, before);  // the list, and whether it is protected
        EXPECT_EQ(contains(error, L"The owner and list stay changed: "), !privileged) << error;
        FreeLibrary(loaded);
    }
}

// Nobody but administrators and SYSTEM may rename or delete either directory or empty "Recycler"; anyone may move
// files into the directory below it and delete them there, and read no file there.
TEST(Recycler, NoOtherAccountMayTakeEitherDirectoryAway) {
    using Entries = std::vector<RecyclerEntry>;
    const RecyclerEntry admins{L"S-1-5-32-544", GENERIC_ALL, 3}, system{L"S-1-5-18", GENERIC_ALL, 3};
    EXPECT_EQ(recyclerEntries(false), (Entries{admins, system, {L"S-1-1-0", 0x1200A1, 0}}));
    EXPECT_EQ(recyclerEntries(true), (Entries{admins, system, {L"S-1-1-0", 0x1200E7, 0}, {L"S-1-1-0", 0x130080, 9}}));
}

// Anyone may make a folder at a volume's root: one owned by another account is refused, and removals go on without.
TEST_F(Files, ARecyclerOfAnotherAccountIsRefusedAndTheRemovalGoesOnWithoutIt) {
    if (test_support::runningUnderWine()) GTEST_SKIP() << "Wine keeps no file owners: every file is the prefix user's";
    const std::wstring holder = recyclerPath(path(L"x"));
    if (!RunTime::Access::privilegeExist(SE_RESTORE_NAME)) GTEST_SKIP() << "giving a file away needs SeRestorePrivilege";
    RunTime::Access::enablePrivilege(SE_RESTORE_NAME);
    const auto giveTo = [&](const RunTime::Sid& owner) {
        return SetNamedSecurityInfoW(const_cast<wchar_t*>(holder.c_str()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                     owner.get(), nullptr, nullptr, nullptr);
    };
    ASSERT_EQ(giveTo(RunTime::Sid::users()), DWORD(ERROR_SUCCESS));
    EXPECT_THROW(recyclerPath(path(L"x")), vexception);
    ASSERT_TRUE(VFile::writeAll(path(L"f"), "x", true));
    removeFile(path(L"f"), false, true, 0, 0);
    EXPECT_FALSE(fileExist(path(L"f")));
    EXPECT_EQ(giveTo(RunTime::Sid::administrators()), DWORD(ERROR_SUCCESS));
    // An earlier build's list (Everyone may delete it), which an account without Administrators or privileges may not
    // rewrite: the recycler is passed by as well.
    PSECURITY_DESCRIPTOR earlier = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"D:(A;OICI;GA;;;BA)(A;OICI;GA;;;SY)(A;;0x1301E7;;;WD)", SDDL_REVISION_1, &earlier, nullptr));
    const BOOL set = SetFileSecurityW(holder.c_str(), DACL_SECURITY_INFORMATION, earlier);
    LocalFree(earlier);
    ASSERT_TRUE(set && VFile::writeAll(path(L"g"), "x", true));
    const RunTime::AutoHandle token = test_support::impersonate(
        test_support::restrictedToken({&RunTime::Sid::administrators()}, TokenImpersonation, DISABLE_MAX_PRIVILEGE));
    EXPECT_NO_THROW(removeFile(path(L"g"), false, true, 0, 0));
    RevertToSelf();
    EXPECT_FALSE(fileExist(path(L"g")));
    recyclerPath(path(L"x"));  // this account gives it the recycler's list again
}

TEST(Handles, MovingLeavesTheEmptyValueEachResourceClosesOnceKeepingTheLastErrorAndCopiesAreNotInherited) {
    const HANDLE first = newEvent(), second = newEvent();
    {
        RunTime::Owner<CountingTraits> a(first), b(std::move(a));
        auto& same = b;
        b = std::move(same);  // a self-move keeps it
        b.reset(first);       // so does a reset to what it holds
        a.reset(second);
        b = std::move(a);  // closes first, takes second
        EXPECT_TRUE(a.get() == INVALID_HANDLE_VALUE && b.get() == second);
        EXPECT_TRUE(CountingTraits::closes == 1 && !isOpen(first));
    }
    EXPECT_TRUE(CountingTraits::closes == 2 && !isOpen(second));
    // A close after a failed call must not hide that call's error.
    const HANDLE stale = newEvent();
    RunTime::AutoHandle owner(stale);
    CloseHandle(stale);  // so that the owner's close fails, with an error of its own
    SetLastError(ERROR_FILE_NOT_FOUND);
    owner.reset();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const RunTime::AutoHandle original(newEvent(TRUE)), copy(VHandle::duplicate(original.get()).release());
    DWORD flags = HANDLE_FLAG_INHERIT;
    EXPECT_TRUE(GetHandleInformation(copy.get(), &flags) && flags == 0);
}
