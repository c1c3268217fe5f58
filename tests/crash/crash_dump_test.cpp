// Crash dumps against the real registry and file system: the settings, the
// trimming at exit, and real dumps written by rdfault.
#include <windows.h>
#include <dbghelp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "crash/crashdump.h"
#include "errors/vexception.h"
#include "tests/support/config_key.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::fileNames;

// An installation root and a dump location under a fresh temp directory,
// named in the configuration for the length of a test.
struct DumpSettings {
    test_support::TempDir root{L"rdcrash"};
    test_config::ConfigValues config;
    std::wstring location = root / L"dumps";

    DumpSettings() {
        config.set(L"PRODUCT_ROOT_D", root.path());
        config.set(L"CrashDumpsLocation", location);
        config.remove(L"CrashDumpsEnabled");
        config.remove(L"CrashDumpsMaxCount");
    }
};

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A dump file whose last write lies minutes minutes after a fixed day.
void writeDump(const std::wstring& path, int minutes) {
    test_support::writeBytes(path, "x");
    SYSTEMTIME day{2024, 5, 0, 1, 10, 0, 0, 0};
    FILETIME time;
    SystemTimeToFileTime(&day, &time);
    ULARGE_INTEGER value{{time.dwLowDateTime, time.dwHighDateTime}};
    value.QuadPart += ULONGLONG(minutes) * 60 * 10000000;
    time = {value.LowPart, value.HighPart};
    const HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    SetFileTime(file, nullptr, nullptr, &time);
    CloseHandle(file);
}

// yyyymmdd_hhmmss of the local time now.
std::wstring localStamp() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t text[32];
    _snwprintf(text, 32, L"%04u%02u%02u_%02u%02u%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return text;
}

}  // namespace

TEST(CrashDumpSettings, OffWithoutTheSwitchOrTheRoot) {
    struct Row {
        const char* name;
        bool disabled;
        bool rootless;
        bool emptyRoot;
    };
    for (const Row& row : {Row{"CrashDumpsEnabled 0", true, false, false}, Row{"no PRODUCT_ROOT_D", false, true, false},
                           Row{"empty PRODUCT_ROOT_D", false, false, true}}) {
        SCOPED_TRACE(row.name);
        DumpSettings settings;
        if (row.disabled) settings.config.set(L"CrashDumpsEnabled", DWORD{0});
        if (row.rootless) settings.config.remove(L"PRODUCT_ROOT_D");
        if (row.emptyRoot) settings.config.set(L"PRODUCT_ROOT_D", std::wstring());
        settings.config.set(L"CrashDumpsMaxCount", DWORD{0});
        {
            CrashDumpInfo info;
            EXPECT_FALSE(info.enabled());
            EXPECT_FALSE(info.filterRegistered());
            EXPECT_FALSE(exists(settings.location));
            EXPECT_THROW(info.getFileName(), vexception);
            // Not trimmed at exit either.
            CreateDirectoryW(settings.location.c_str(), nullptr);
            writeDump(settings.location + L"\\a.dmp", 0);
        }
        EXPECT_TRUE(exists(settings.location + L"\\a.dmp"));
    }
}

TEST(CrashDumpSettings, DefaultLocationAndTheNameOfTheNextDump) {
    DumpSettings settings;
    settings.config.remove(L"CrashDumpsLocation");
    CrashDumpInfo info;
    ASSERT_TRUE(info.enabled());
    EXPECT_TRUE(info.filterRegistered());
    EXPECT_EQ(info.maxCount(), 10u);
    const std::wstring location = settings.root / L"etc\\crashdumps";
    EXPECT_EQ(info.location(), location);
    EXPECT_TRUE(exists(location));
    const std::wstring before = localStamp();
    const std::wstring name = info.getFileName();
    const std::wstring after = localStamp();
    const std::wstring prefix = location + L"\\test_crash";
    ASSERT_EQ(name.size(), prefix.size() + 19) << name;
    EXPECT_EQ(name.substr(0, prefix.size()), prefix);
    const std::wstring stamp = name.substr(prefix.size(), 15);
    EXPECT_TRUE(before <= stamp && stamp <= after) << name;
    EXPECT_EQ(name.substr(name.size() - 4), L".dmp");
}

TEST(CrashDumpSettings, LocationTooLongForADumpNameIsRefused) {
    DumpSettings settings;
    // 260 characters with "\test_crash" and the stamp: the longest that fits.
    for (const std::size_t extra : {std::size_t{0}, std::size_t{1}}) {
        const std::size_t length = 260 - 11 - 19 + extra;
        std::wstring location = settings.root.path() + L"\\";
        location += std::wstring(length - location.size(), L'd');
        settings.config.set(L"CrashDumpsLocation", location);
        CrashDumpInfo info;
        EXPECT_EQ(info.enabled(), extra == 0) << location.size();
        if (info.enabled()) {
            EXPECT_EQ(info.getFileName().size(), 260u);
        }
        EXPECT_EQ(exists(location), extra == 0);
    }
}

TEST(CrashDumpTrim, KeepsTheNewestDumpsAndLeavesOtherEntries) {
    struct Row {
        DWORD maxCount;
        std::vector<std::wstring> survivors;
    };
    for (const Row& row : {Row{10, {L"d02.dmp", L"d03.dmp", L"d04.dmp", L"d05.dmp", L"d06.dmp", L"d07.dmp",
                                    L"d08.dmp", L"d09.dmp", L"d10.dmp", L"d11.dmp"}},
                           Row{0, {}}}) {
        SCOPED_TRACE(row.maxCount);
        DumpSettings settings;
        settings.config.set(L"CrashDumpsMaxCount", row.maxCount);
        {
            CrashDumpInfo info;
            ASSERT_TRUE(info.enabled());
            // Written newest first, so that the order of names is not the order of times.
            for (int i = 11; i >= 0; --i) {
                wchar_t name[16];
                _snwprintf(name, 16, L"d%02d.dmp", i);
                writeDump(settings.location + L"\\" + name, i);
            }
            SetFileAttributesW((settings.location + L"\\d00.dmp").c_str(), FILE_ATTRIBUTE_READONLY);
            writeDump(settings.location + L"\\x.zip", -5);
            CreateDirectoryW((settings.location + L"\\sub.dmp").c_str(), nullptr);
        }
        std::vector<std::wstring> left = fileNames(settings.location + L"\\*.dmp");
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, row.survivors);
        EXPECT_TRUE(exists(settings.location + L"\\x.zip"));
        EXPECT_TRUE(exists(settings.location + L"\\sub.dmp"));
    }
}

namespace {

// The header and the exception stream of a dump, read back from the file.
struct DumpReading {
    MINIDUMP_HEADER header{};
    bool hasException = false;
    MINIDUMP_EXCEPTION_STREAM exception{};
};

DumpReading readDump(const std::wstring& path) {
    DumpReading reading;
    std::ifstream in(path.c_str(), std::ios::binary);
    in.read(reinterpret_cast<char*>(&reading.header), sizeof reading.header);
    std::vector<MINIDUMP_DIRECTORY> directory(reading.header.NumberOfStreams);
    in.seekg(reading.header.StreamDirectoryRva);
    in.read(reinterpret_cast<char*>(directory.data()), std::streamsize(directory.size() * sizeof(MINIDUMP_DIRECTORY)));
    for (const MINIDUMP_DIRECTORY& entry : directory) {
        if (entry.StreamType != ExceptionStream) continue;
        in.seekg(entry.Location.Rva);
        in.read(reinterpret_cast<char*>(&reading.exception), sizeof reading.exception);
        reading.hasException = bool(in);
    }
    return reading;
}

test_process::ProcessResult runFault(const std::vector<std::wstring>& arguments) {
    const std::wstring program = test_process::siblingPath(L"rdfault.exe");
    return test_process::run(program, test_process::commandLine(program, arguments), 120000);
}

}  // namespace

TEST(CrashDumpWrite, FaultThreeOperationsDeepLeavesADumpOfThatFault) {
    DumpSettings settings;
    const std::wstring before = localStamp();
    const test_process::ProcessResult result = runFault({L"deep"});
    const std::wstring after = localStamp();
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    // The fault still arrives as a vexception through all three operations.
    EXPECT_NE(result.output.find("C structured exception: 0xc0000005\n   at inner(3)(Fault::inner line 31)\n"
                                 "   at middle()(Fault::middle line 21)\n   at outer(x)(Fault::outer line 11)"),
              std::string::npos)
        << result.output;
    const DWORD thread = std::stoul(result.output.substr(result.output.find("thread ") + 7));

    const std::vector<std::wstring> dumps = fileNames(settings.location + L"\\*.dmp");
    ASSERT_EQ(dumps.size(), 1u);
    const std::wstring stamp = dumps[0].substr(7, 15);
    EXPECT_EQ(dumps[0].substr(0, 7), L"rdfault");
    EXPECT_TRUE(before <= stamp && stamp <= after) << dumps[0];
    const DumpReading dump = readDump(settings.location + L"\\" + dumps[0]);
    EXPECT_EQ(dump.header.Signature, DWORD{0x504D444D});
    ASSERT_TRUE(dump.hasException);
    EXPECT_EQ(dump.exception.ThreadId, thread);
    EXPECT_EQ(dump.exception.ExceptionRecord.ExceptionCode, DWORD{EXCEPTION_ACCESS_VIOLATION});
}

TEST(CrashDumpWrite, HeapCorruptionFilterDumpsOnlyItsOwnCode) {
    struct Row {
        const wchar_t* code;
        std::size_t dumps;
    };
    for (const Row& row : {Row{L"0xC0000374", 1}, Row{L"0xC0000005", 0}, Row{L"0xE0000001", 0}}) {
        SCOPED_TRACE(testing::Message() << row.code);
        DumpSettings settings;
        const test_process::ProcessResult result = runFault({L"raise", row.code});
        // The exception goes on to end the process, as without the filter.
        EXPECT_EQ(result.exitCode, std::wcstoul(row.code, nullptr, 0));
        const std::vector<std::wstring> dumps = fileNames(settings.location + L"\\*.dmp");
        ASSERT_EQ(dumps.size(), row.dumps);
        if (row.dumps) {
            EXPECT_EQ(readDump(settings.location + L"\\" + dumps[0]).exception.ExceptionRecord.ExceptionCode,
                      0xC0000374u);
        }
    }
}
