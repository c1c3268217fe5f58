// Real crash dumps written by rdfault.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "crash/crashdump.h"
#include "crash/dump_folder.h"
#include "errors/format.h"
#include "errors/vexception.h"
#include "exec/launcher.h"
#include "log/last_chance.h"
#include "runtime/acl.h"
#include "runtime/files.h"
#include "runtime/object_security.h"
#include "runtime/security_descriptor.h"
#include "runtime/sid.h"
#include "tests/support/config_key.h"
#include "tests/support/log_records.h"
#include "tests/support/minidump.h"
#include "tests/support/platform.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::fileNames;
using Names = std::vector<std::wstring>;

// An installation root and a dump location, named in the configuration.
struct DumpSettings {
    test_support::TempDir root{L"rdcrash"};
    test_config::ConfigValues config;
    std::wstring location = root / L"dumps";
    DumpSettings() {
        config.set(L"PRODUCT_ROOT_D", root.path());
        config.set(L"CrashDumpsLocation", location);
        for (const wchar_t* name : {L"CrashDumpsEnabled", L"CrashDumpsMaxCount", L"Debug"}) config.remove(name);
        test_log::makeInstallation(root.path());
    }
    Names dumps() const { return fileNames(location + L"\\*.dmp"); }
    test_support::DumpFacts facts(const std::wstring& dump) const { return test_support::dumpFacts(location + L"\\" + dump); }
    std::vector<std::wstring> records() const {
        return test_log::recordsOf(test_log::utf16Text(test_support::readBytes(test_log::todaysLogFile(root.path()))));
    }
};

// Dumps without the memory unless fullMemory: a full one of a Wine process takes many seconds. faultInDump: writing one
// faults.
test_process::ProcessResult runFault(const std::vector<std::wstring>& arguments, bool fullMemory = false,
                                     bool faultInDump = false) {
    const std::wstring program = test_process::siblingPath(L"rdfault.exe");
    std::map<std::wstring, std::wstring> variables{{L"RD_FAULT_SMALL_DUMPS", L"1"}};
    if (faultInDump) variables[L"RD_FAULT_IN_DUMP"] = L"1";
    return test_process::run(program, test_process::commandLine(program, arguments), 120000,
                             fullMemory ? L"" : test_process::taskEnvironment(variables));
}
// The type rdfault's small dumps have when the product asks for its own.
constexpr ULONG64 kSmallDumpType = kCrashDumpType & ~MiniDumpWithFullMemory;

// yyyymmdd_hhmmss of the local time, seconds from now.
std::wstring now(int seconds = 0) {
    FILETIME utc, local;
    GetSystemTimeAsFileTime(&utc);
    FileTimeToLocalFileTime(&utc, &local);
    ULARGE_INTEGER value{{local.dwLowDateTime, local.dwHighDateTime}};
    value.QuadPart += seconds * 10000000ull;
    local = {value.LowPart, value.HighPart};
    SYSTEMTIME t;
    FileTimeToSystemTime(&local, &t);
    return formatString(L"%04d%02d%02d_%02d%02d%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

// A stand-in dump writer for as long as it lives: four bytes, then success, or failure on a full disk.
struct WriterInPlace {
    explicit WriterInPlace(bool succeeds)
        : previous(setMiniDumpWriter(succeeds ? &write<true> : &write<false>)) {}
    ~WriterInPlace() { setMiniDumpWriter(previous); }
    template <bool kSucceeds>
    static BOOL WINAPI write(HANDLE, DWORD, HANDLE file, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                             PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION) {
        DWORD written = 0;
        WriteFile(file, "MDMP", 4, &written, nullptr);
        if (!kSucceeds) SetLastError(ERROR_DISK_FULL);
        return kSucceeds;
    }
    MiniDumpWriter previous;
};

}  // namespace

// The header's flags hold the dump type, the exception stream the faulting thread and code. The folder's path brings
// the dump's name to 260 characters: it is written through the long form.
TEST(CrashDumpWrite, FaultThreeOperationsDeepLeavesADumpOfThatFault) {
    DumpSettings settings;
    const std::wstring location = settings.location + L"\\" + std::wstring(260 - 27 - settings.location.size() - 1, L'x');
    settings.config.set(L"CrashDumpsLocation", location);
    const std::wstring longLocation = L"\\\\?\\" + location;
    ASSERT_TRUE(CreateDirectoryW(settings.location.c_str(), nullptr) && CreateDirectoryW(longLocation.c_str(), nullptr));
    const test_process::ProcessResult result = runFault({L"deep"}, true);
    EXPECT_EQ(result.exitCode, 0u) << result.output;  // caught as a vexception
    const DWORD thread = std::stoul(result.output.substr(result.output.find("thread ") + 7));
    const Names dumps = fileNames(longLocation + L"\\*.dmp");
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(test_support::dumpFacts(longLocation + L"\\" + dumps[0]),
              (test_support::DumpFacts{kCrashDumpType, thread, EXCEPTION_ACCESS_VIOLATION}));
}

// A writer that fails part way (here on a full disk, after some bytes) raises its error, and the cut dump is deleted.
TEST(CrashDumpWrite, AFailedWriteRaisesItsErrorAndLeavesNoFile) {
    const test_support::TempDir dir{L"rdcrash"};
    const std::wstring path = dir / L"cut.dmp";
    const WriterInPlace failing(false);
    std::uint32_t code = 0;
    try {
        internalDumpMiniDump(path, nullptr, kCrashDumpType);
    } catch (const vosexception& e) {
        code = e.code();
    }
    EXPECT_EQ(code, std::uint32_t{ERROR_DISK_FULL});
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

// A taken name is tried again with the process identifier and a count, up to the last count the name has room for, in
// the long form, which holds names past 260 characters even where long paths are off.
TEST(CrashDumpWrite, ATakenNameIsRetriedUpToTheLastCountTheNameHolds) {
    DumpSettings settings;
    settings.config.set(L"CrashDumpsMaxCount", DWORD{5000});
    settings.config.set(L"CrashDumpsLocation", settings.location + L"\\");  // the same folder
    CrashDumpInfo info;
    EXPECT_TRUE(info.getFileName().starts_with(L"\\\\?\\" + settings.location + L"\\test_crash"));
    // Every name of a second to come is taken, and the dump is written in that second.
    const std::wstring second = now(15), name = settings.location + L"\\test_crash" + second;
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    for (int count = 0; count < 999; ++count)
        test_support::writeBytes(name + (count ? L"_" + pid + L"_" + std::to_wstring(count) : L"") + L".dmp", "x");
    ASSERT_LT(now(), second) << "taking the names took too long";
    while (now() < second) Sleep(20);
    const WriterInPlace writer(true);
    EXCEPTION_POINTERS pointers{};
    writeCrashDump(&pointers, info);
    EXPECT_EQ(test_support::readBytes(name + L"_" + pid + L"_999.dmp"), "MDMP");
    EXPECT_EQ(settings.dumps().size(), 1000u);
}

// Outside every operation, and by abort() (of another module on our C runtime), std::terminate (also of a throw out of a
// thread of our own, which the top level must continue for std::terminate to run) or a fail-fast: one dump
// (heap corruption's by its own filter), named in local time (CTest sets the zone 5:45 ahead of UTC); one record naming
// the code and the faulting module, or the way of the end; the process ends with the code; the folder is trimmed.
TEST(LastChance, EveryUnhandledEndLeavesOneDumpOneRecordAndItsCode) {
    const auto fault = [](const wchar_t* code, const wchar_t* module) {
        return formatString(L"Unhandled C structured exception: 0x%s at %s\\+0x[0-9a-f]+", std::wstring(code),
                            std::wstring(module));
    };
    for (const auto& [what, code, record] :
         {std::tuple(L"0xC0000374", 0xC0000374u, fault(L"c0000374", L"kernelbase\\.dll")),
          {L"0xE0000001", 0xE0000001u, fault(L"e0000001", L"kernelbase\\.dll")},
          {L"overflow", 0xC00000FDu, fault(L"c00000fd", L"rdfault\\.exe")},
          {L"terminate", kRuntimeEndCode, std::wstring(L"Ended by std::terminate with: out of a noexcept function")},
          {L"thread", kRuntimeEndCode, std::wstring(L"Ended by std::terminate with: out of a thread")},
          {L"abort", kRuntimeEndCode, std::wstring(L"Ended by abort\\(\\)")},
          {L"failfast", 0xC0000602u, std::wstring(L"Ended on request")}}) {
        SCOPED_TRACE(code);
        DumpSettings settings;
        settings.config.set(L"CrashDumpsMaxCount", DWORD{1});
        CreateDirectoryW(settings.location.c_str(), nullptr);
        const std::wstring old = settings.location + L"\\rdfault20000101_000000.dmp";
        test_support::writeBytes(old, "x");
        const FILETIME longAgo{0, 0x01D00000};
        SetFileTime(RunTime::File::openObject(old, FILE_WRITE_ATTRIBUTES).get(), nullptr, nullptr, &longAgo);
        const std::wstring before = now();
        const auto result = runFault({L"raise", what});
        const std::wstring after = now();
        EXPECT_EQ(result.exitCode, code);
        const Names dumps = settings.dumps();
        ASSERT_EQ(dumps.size(), 1u);
        // The faulting thread's, also when another thread wrote it.
        const DWORD thread = std::stoul(result.output.substr(result.output.rfind("thread ") + 7));
        EXPECT_EQ(settings.facts(dumps[0]), (test_support::DumpFacts{kSmallDumpType, thread, code}));
        EXPECT_TRUE(dumps[0].size() == 26 && dumps[0].starts_with(L"rdfault") && dumps[0].ends_with(L".dmp"));
        EXPECT_TRUE(before <= dumps[0].substr(7, 15) && dumps[0].substr(7, 15) <= after) << dumps[0];
        const auto records = settings.records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_TRUE(std::regex_match(records[0], std::wregex(L"Error: " + record, std::regex::icase)))
            << testing::PrintToString(records[0]);
    }
    // A fault while the first one's dump is written ends the process at once, and with the first one's code; a
    // fail-fast has written its record by then.
    for (const wchar_t* what : {L"0xE0000001", L"failfast"}) {
        const DumpSettings settings;
        const DWORD code = runFault({L"raise", what}, false, true).exitCode;
        EXPECT_TRUE(what[0] == L'0' ? code == 0xE0000001u : settings.records().at(0) == L"Error: Ended on request");
    }
}

// A real corruption, as the heap reports it: one dump of it, and the process ends with its code.
TEST(CrashDumpWrite, ADoubleFreeLeavesOneDumpAndEndsWithHeapCorruption) {
    if (test_support::runningUnderWine()) GTEST_SKIP() << "Wine's heap never reports corruption";
    DumpSettings settings;
    EXPECT_EQ(runFault({L"double-free"}).exitCode, 0xC0000374u);
    const Names dumps = settings.dumps();
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(settings.facts(dumps[0]).code, 0xC0000374u);
}

// In a guarded operation each overflow fails it with one dump, the guard page is back for the second, and heap
// corruption raised in one is dumped once, by its own filter.
TEST(StackOverflow, EachOverflowInAGuardedOperationFailsItWithADumpAndTheNextIsCaughtToo) {
    DumpSettings settings;
    EXPECT_EQ(runFault({L"guarded", L"overflow", L"0xC0000374", L"overflow"}).exitCode, 0u);
    std::vector<std::wstring> expected;
    for (const wchar_t* what : {L"overflow", L"0xC0000374", L"overflow"})
        expected.push_back(formatString(L"Error: C structured exception: 0x%s\n   at guarded(%s)(Fault::guarded line 51)",
                                        std::wstring(what[0] == L'o' ? L"c00000fd" : L"c0000374"), std::wstring(what)));
    EXPECT_EQ(settings.records(), expected);
    std::vector<DWORD> codes;
    for (const std::wstring& dump : settings.dumps()) codes.push_back(settings.facts(dump).code);
    EXPECT_EQ(codes, (std::vector<DWORD>{0xC00000FD, 0xC0000374, 0xC00000FD}));
}

// Settings ending at exit delete the oldest dumps beyond the count, by last write time, never by name, nothing else;
// the oldest, held open by another process, stays and the others are trimmed past it.
TEST(CrashDumpTrim, KeepsTheNewestDumpsPastOneHeldOpenAndLeavesOtherEntries) {
    DumpSettings settings;
    settings.config.set(L"CrashDumpsMaxCount", DWORD{2});
    vexecutil holder;
    holder.executable = test_process::siblingPath(L"rdchild.exe");
    holder.arguments = L"sleep 60000";
    holder.stdinFile = settings.location + L"\\held.dmp";
    holder.noWindow = true;
    {
        CrashDumpInfo info;
        ASSERT_TRUE(info.enabled());
        for (int minute : {4, 2, 3, 1, 0}) {  // d4.dmp is the newest, d3.dmp the next, held.dmp the oldest
            const std::wstring path = settings.location + (minute ? L"\\d" + std::to_wstring(minute) : L"\\held") + L".dmp";
            test_support::writeBytes(path, "x");
            FILETIME time{static_cast<DWORD>(minute) * 600000000u, 0x01DA0000};
            SetFileTime(RunTime::File::openObject(path, FILE_WRITE_ATTRIBUTES).get(), nullptr, nullptr, &time);
        }
        SetFileAttributesW((settings.location + L"\\d1.dmp").c_str(), FILE_ATTRIBUTE_READONLY);
        test_support::writeBytes(settings.location + L"\\old.zip", "x");
        CreateDirectoryW((settings.location + L"\\sub.dmp").c_str(), nullptr);
        holder.start();  // its standard input: shared for reading and writing, not for deletion
    }
    holder.terminate(0);
    holder.waitForExit(30000);
    EXPECT_EQ(fileNames(settings.location + L"\\*"), (Names{L"d3.dmp", L"d4.dmp", L"held.dmp", L"old.zip"}));
    EXPECT_EQ(fileNames(settings.location + L"\\*", true), Names{L"sub.dmp"});
}

// A hard link planted as a dump shares its file's attributes, owner and list: one to a read-only file elsewhere is
// left, and that file stays read-only; one to a writable file goes as any dump does. A symbolic link is never followed.
TEST(CrashDumpTrim, LeavesLinksAndWhatTheyName) {
    DumpSettings settings;
    settings.config.set(L"CrashDumpsMaxCount", DWORD{0});
    const std::wstring target = settings.root / L"target.dmp", link = settings.location + L"\\link.dmp";
    const std::wstring kept = settings.root / L"kept.txt", plain = settings.root / L"plain.txt";
    DWORD symbolic = INVALID_FILE_ATTRIBUTES;
    {
        const CrashDumpInfo info;
        for (const std::wstring& file : {target, kept, plain}) test_support::writeBytes(file, "x");
        ASSERT_TRUE(SetFileAttributesW(kept.c_str(), FILE_ATTRIBUTE_READONLY));
        ASSERT_TRUE(CreateHardLinkW((settings.location + L"\\hard.dmp").c_str(), kept.c_str(), nullptr) &&
                    CreateHardLinkW((settings.location + L"\\plain.dmp").c_str(), plain.c_str(), nullptr));
        CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
        symbolic = GetFileAttributesW(link.c_str());
    }
    EXPECT_TRUE(GetFileAttributesW(kept.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(test_support::readBytes(plain), "x");
    if (symbolic == INVALID_FILE_ATTRIBUTES || !(symbolic & FILE_ATTRIBUTE_REPARSE_POINT)) {
        EXPECT_EQ(fileNames(settings.location + L"\\*"), Names{L"hard.dmp"});
        GTEST_SKIP() << "no symbolic link was made: Wine makes none, Windows needs developer mode or the privilege";
    }
    EXPECT_EQ(test_support::readBytes(target), "x");
    EXPECT_EQ(fileNames(settings.location + L"\\*"), (Names{L"hard.dmp", L"link.dmp"}));
}

// Dumps stay off, and nothing is created, without the switch, without the root, or below a location too long for a
// dump name; without a location of their own they go below the root, but never below a root that does not exist (a
// mistyped one). A location of their own is made with its parents, whatever the root.
TEST(CrashDumpSettings, OffWithoutTheSwitchTheRootOrRoomForANameElseBelowTheRoot) {
    for (const int way : {0, 1, 2, 3}) {
        DumpSettings settings;
        if (way == 0) settings.config.set(L"CrashDumpsEnabled", DWORD{0});
        if (way == 1) settings.config.remove(L"PRODUCT_ROOT_D");
        if (way == 2) settings.config.set(L"CrashDumpsLocation", settings.location + L"\\" + std::wstring(230, L'x'));
        if (way == 3) settings.config.set(L"PRODUCT_ROOT_D", settings.location);
        if (way == 3) settings.config.remove(L"CrashDumpsLocation");
        const CrashDumpInfo info;
        EXPECT_FALSE(info.enabled() || info.filterRegistered()) << way;
        EXPECT_EQ(GetFileAttributesW(settings.location.c_str()), INVALID_FILE_ATTRIBUTES) << way;
    }
    DumpSettings settings;
    settings.config.remove(L"CrashDumpsLocation");
    EXPECT_TRUE(CrashDumpInfo().enabled());
    EXPECT_EQ(fileNames(settings.root / L"etc\\*", true), Names{L"crashdumps"});
    settings.config.set(L"PRODUCT_ROOT_D", settings.root / L"typo");
    settings.config.set(L"CrashDumpsLocation", settings.root / L"new\\dumps");
    EXPECT_TRUE(CrashDumpInfo().enabled() && fileNames(settings.root / L"new\\*", true) == Names{L"dumps"});
}

// The folder the agent makes for dumps lets only administrators and SYSTEM read every dump, every account only its own
// (CREATOR OWNER), and takes nothing from its parent; its missing parents, and a folder that was there, keep their own.
TEST(CrashDumpFolder, MadeByTheAgentLetsEachAccountReadOnlyItsOwnDumps) {
    // (type, flags, mask, SID), sorted: allow entries have no order among themselves.
    using Entries = std::vector<std::tuple<int, int, DWORD, std::wstring>>;
    const auto entriesOf = [](const RunTime::Acl& list) {
        Entries entries;
        for (int i = 0; i < list.end(); ++i)
            entries.emplace_back(list.getAce(i).type(), list.getAce(i).flags(), list.getAce(i).mask(),
                                 RunTime::Sid(list.getAce(i).sid()).toSidString());
        std::sort(entries.begin(), entries.end());
        return entries;
    };
    constexpr int kHereAndBelow = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const Entries expected{{ACCESS_ALLOWED_ACE_TYPE, 0, 0x001000A3, L"S-1-5-11"},  // list, add file, traverse, attributes
                           {ACCESS_ALLOWED_ACE_TYPE, kHereAndBelow, FILE_ALL_ACCESS, L"S-1-5-18"},
                           {ACCESS_ALLOWED_ACE_TYPE, kHereAndBelow, FILE_ALL_ACCESS, L"S-1-5-32-544"},
                           {ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, FILE_ALL_ACCESS, L"S-1-3-0"}};
    RunTime::Acl written;
    written.copy(SecurityDescriptor(DumpFolder::entries(), false, true).dacl());
    EXPECT_EQ(entriesOf(written), expected);
    if (test_support::runningUnderWine()) GTEST_SKIP() << "Wine keeps no access lists on files";
    DumpSettings settings;
    settings.config.set(L"CrashDumpsLocation", settings.root / L"new\\dumps");
    ASSERT_TRUE(CrashDumpInfo().enabled());
    const auto made = RunTime::Access::objectSecurity(settings.root / L"new\\dumps", SE_FILE_OBJECT);
    EXPECT_TRUE(made.protectedDacl && entriesOf(made.dacl) == expected);
    EXPECT_FALSE(RunTime::Access::objectSecurity(settings.root / L"new", SE_FILE_OBJECT).protectedDacl);
    settings.config.set(L"CrashDumpsLocation", settings.root.path());
    ASSERT_TRUE(CrashDumpInfo().enabled());
    EXPECT_FALSE(RunTime::Access::objectSecurity(settings.root.path(), SE_FILE_OBJECT).protectedDacl);
}
