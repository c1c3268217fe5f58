// Real crash dumps written by rdfault.
#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crash/crashdump.h"
#include "errors/format.h"
#include "tests/support/config_key.h"
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
        for (const wchar_t* name : {L"CrashDumpsEnabled", L"CrashDumpsMaxCount"}) config.remove(name);
    }
    Names dumps() const { return fileNames(location + L"\\*.dmp"); }
};

// The thread and code of a dump's exception stream; {0, 0} without one.
std::pair<DWORD, DWORD> exceptionOf(const std::wstring& path) {
    const std::string bytes = test_support::readBytes(path);
    const auto at = [&](std::size_t offset) { return *reinterpret_cast<const DWORD*>(bytes.data() + offset); };
    const auto& header = *reinterpret_cast<const MINIDUMP_HEADER*>(bytes.data());
    for (DWORD i = 0; i < header.NumberOfStreams; ++i) {
        const auto& entry = reinterpret_cast<const MINIDUMP_DIRECTORY*>(bytes.data() + header.StreamDirectoryRva)[i];
        if (entry.StreamType != ExceptionStream) continue;
        const std::size_t rva = entry.Location.Rva;
        return {at(rva), at(rva + offsetof(MINIDUMP_EXCEPTION_STREAM, ExceptionRecord))};
    }
    return {0, 0};
}

test_process::ProcessResult runFault(const std::vector<std::wstring>& arguments) {
    const std::wstring program = test_process::siblingPath(L"rdfault.exe");
    return test_process::run(program, test_process::commandLine(program, arguments), 120000);
}

}  // namespace

TEST(CrashDumpWrite, FaultThreeOperationsDeepLeavesADumpOfThatFault) {
    DumpSettings settings;
    const auto now = [] {
        SYSTEMTIME t;
        GetLocalTime(&t);
        return formatString(L"%04d%02d%02d_%02d%02d%02d", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    };
    const std::wstring before = now();
    const test_process::ProcessResult result = runFault({L"deep"});
    const std::wstring after = now();
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    // The fault still arrives as a vexception through all three operations.
    EXPECT_NE(result.output.find("C structured exception: 0xc0000005\n   at inner(3)(Fault::inner line 31)\n"
                                 "   at middle()(Fault::middle line 21)\n   at outer(x)(Fault::outer line 11)"),
              std::string::npos) << result.output;
    const DWORD thread = std::stoul(result.output.substr(result.output.find("thread ") + 7));
    const Names dumps = settings.dumps();
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_TRUE(dumps[0].size() == 26 && dumps[0].starts_with(L"rdfault") && dumps[0].ends_with(L".dmp")) << dumps[0];
    EXPECT_TRUE(before <= dumps[0].substr(7, 15) && dumps[0].substr(7, 15) <= after) << dumps[0];  // the local time
    EXPECT_EQ(exceptionOf(settings.location + L"\\" + dumps[0]), std::pair(thread, DWORD{EXCEPTION_ACCESS_VIOLATION}));
}

// Heap corruption gets its own dump; other faults outside any guarded operation none; the process ends all the same.
TEST(CrashDumpWrite, HeapCorruptionFilterDumpsOnlyItsOwnCode) {
    for (const DWORD code : {0xC0000374u, 0xC0000005u, 0xE0000001u}) {
        SCOPED_TRACE(code);
        DumpSettings settings;
        EXPECT_EQ(runFault({L"raise", std::to_wstring(code)}).exitCode, code);
        const Names dumps = settings.dumps();
        ASSERT_EQ(dumps.size(), code == 0xC0000374u ? 1u : 0u);
        for (const std::wstring& dump : dumps) EXPECT_EQ(exceptionOf(settings.location + L"\\" + dump).second, code);
    }
}

// A real corruption, as the heap reports it: one dump of it, and the process ends with its code.
TEST(CrashDumpWrite, ADoubleFreeLeavesOneDumpAndEndsWithHeapCorruption) {
    if (test_support::runningUnderWine()) GTEST_SKIP() << "Wine's heap never reports corruption";
    DumpSettings settings;
    EXPECT_EQ(runFault({L"double-free"}).exitCode, 0xC0000374u);
    const Names dumps = settings.dumps();
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(exceptionOf(settings.location + L"\\" + dumps[0]).second, 0xC0000374u);
}

// Settings ending at exit delete the oldest dumps beyond the count, by last write time, never by name, nothing else.
TEST(CrashDumpTrim, KeepsTheNewestDumpsAndLeavesOtherEntries) {
    DumpSettings settings;
    settings.config.set(L"CrashDumpsMaxCount", DWORD{2});
    {
        CrashDumpInfo info;
        ASSERT_TRUE(info.enabled());
        for (int minute : {3, 1, 2, 0}) {  // d3.dmp is the newest, d2.dmp the next
            const std::wstring path = settings.location + L"\\d" + std::to_wstring(minute) + L".dmp";
            test_support::writeBytes(path, "x");
            FILETIME time{static_cast<DWORD>(minute) * 600000000u, 0x01DA0000};
            const HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            SetFileTime(file, nullptr, nullptr, &time);
            CloseHandle(file);
        }
        SetFileAttributesW((settings.location + L"\\d0.dmp").c_str(), FILE_ATTRIBUTE_READONLY);
        test_support::writeBytes(settings.location + L"\\old.zip", "x");
        CreateDirectoryW((settings.location + L"\\sub.dmp").c_str(), nullptr);
    }
    Names left = fileNames(settings.location + L"\\*");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (Names{L"d2.dmp", L"d3.dmp", L"old.zip"}));
    EXPECT_EQ(fileNames(settings.location + L"\\*", true), Names{L"sub.dmp"});
}

// Dumps stay off, and nothing is created, without the switch, without the root, or below a location too long for a
// dump name; without a location of their own they go below the root.
TEST(CrashDumpSettings, OffWithoutTheSwitchTheRootOrRoomForANameElseBelowTheRoot) {
    for (const int way : {0, 1, 2}) {
        DumpSettings settings;
        if (way == 0) settings.config.set(L"CrashDumpsEnabled", DWORD{0});
        if (way == 1) settings.config.remove(L"PRODUCT_ROOT_D");
        if (way == 2) settings.config.set(L"CrashDumpsLocation", settings.location + L"\\" + std::wstring(230, L'x'));
        const CrashDumpInfo info;
        EXPECT_FALSE(info.enabled() || info.filterRegistered()) << way;
        EXPECT_EQ(GetFileAttributesW(settings.location.c_str()), INVALID_FILE_ATTRIBUTES) << way;
    }
    DumpSettings settings;
    settings.config.remove(L"CrashDumpsLocation");
    EXPECT_TRUE(CrashDumpInfo().enabled());
    EXPECT_EQ(fileNames(settings.root / L"etc\\*", true), Names{L"crashdumps"});
}
