// Faults of the child and of the environment: every run ends on time, with
// the child's code recorded or with one Error record that names the cause.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/agent_run.h"

using reliability::TaskRun;

namespace {

// The pattern rdchild's "bytes" action writes.
char patternByte(std::uint64_t i) { return static_cast<char>('a' + (i * 7 + i / 251) % 26); }

bool isDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Ends the grandchild whose id rdchild's "spawn" wrote into text.
void endGrandchild(const std::string& text) {
    const std::size_t at = text.find("grandchild ");
    if (at == std::string::npos) return;
    const DWORD id = std::stoul(text.substr(at + 11));
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id)) {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
}

bool contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

}  // namespace

TEST(ChildFaults, EachWayOfDyingIsRecordedWithItsCode) {
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"exit 0", "0"},
        {L"crash", "3221225477"},     // 0xC0000005
        {L"overflow", "3221225725"},  // 0xC00000FD
        {L"abort", "3"},
        {L"close-out out lost err kept exit 5", "5"},
    };
    for (const auto& [arguments, code] : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(arguments)));
        TaskRun task;
        task.variables[L"RD_CMD_ARGS"] = arguments;
        const auto result = task.run();
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(task.read(L"exit"), code);
        EXPECT_TRUE(isDecimal(task.read(L"pid")));
        EXPECT_TRUE(result.errors.empty());
        EXPECT_EQ(result.output, "");
    }
}

TEST(ChildFaults, AGrandchildHoldingTheOutputDoesNotHoldTheAgent) {
    TaskRun task;
    task.variables[L"RD_CMD_ARGS"] = L"spawn 60000 out hello exit 6";
    // The grandchild also holds every inheritable handle the agent had, our
    // pipe to it among them: end it once the agent has recorded the result,
    // or reading the agent's output would wait the grandchild's minute.
    std::atomic<bool> done{false};
    std::thread reaper([&] {
        for (int i = 0; i < 3000 && !done; ++i, Sleep(10))
            if (task.read(L"exit") != "<missing>") {
                endGrandchild(task.read(L"err.txt"));
                return;
            }
    });
    // Bounded far below the grandchild's minute: the agent waits for the child only.
    const auto result = task.run(20000);
    done = true;
    reaper.join();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(task.read(L"exit"), "6");
    EXPECT_EQ(task.read(L"out.txt"), "hello");
    EXPECT_NE(task.read(L"err.txt").find("grandchild "), std::string::npos);
}

TEST(ChildFaults, AHundredMegabytesArriveByteForByte) {
    constexpr std::uint64_t kSize = 100ull << 20;
    TaskRun task;
    task.variables[L"RD_CMD_ARGS"] = L"bytes " + std::to_wstring(kSize);
    ASSERT_EQ(task.run(120000).exitCode, 0u);
    const std::string output = task.read(L"out.txt");
    ASSERT_EQ(output.size(), kSize);
    std::uint64_t firstWrong = kSize;
    for (std::uint64_t i = 0; i < kSize && firstWrong == kSize; ++i)
        if (output[i] != patternByte(i)) firstWrong = i;
    EXPECT_EQ(firstWrong, kSize);
}

TEST(EnvironmentFaults, UnwritableResultFilesFailWithOneRecordNamingThem) {
    {
        TaskRun task;  // an exit-code file another process holds without sharing
        test_support::writeBytes(task.path(L"exit"), "old");
        const HANDLE held = CreateFileW(task.path(L"exit").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        const auto result = task.run();
        CloseHandle(held);
        EXPECT_EQ(result.exitCode, 1u);
        ASSERT_EQ(result.errors.size(), 1u);
        EXPECT_TRUE(contains(result.errors[0], task.path(L"exit")));
        EXPECT_TRUE(isDecimal(task.read(L"pid")));
        EXPECT_EQ(task.read(L"exit"), "old");
    }
    {
        // Read-only: Windows refuses the write; Wine run by root does not.
        // Either way the run ends in one of its two proper forms.
        TaskRun task;
        test_support::writeBytes(task.path(L"exit"), "old");
        SetFileAttributesW(task.path(L"exit").c_str(), FILE_ATTRIBUTE_READONLY);
        const auto result = task.run();
        if (result.exitCode == 0) {
            EXPECT_EQ(task.read(L"exit"), "0");
        } else {
            EXPECT_EQ(result.exitCode, 1u);
            ASSERT_EQ(result.errors.size(), 1u);
            EXPECT_TRUE(contains(result.errors[0], task.path(L"exit")));
            EXPECT_EQ(task.read(L"exit"), "old");
        }
    }
    for (const wchar_t* variable : {L"RD_PID", L"RD_EXIT_CODE"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(variable)));
        TaskRun task;  // a result file in a directory that does not exist
        const std::wstring missing = task.path(L"no such dir\\result");
        task.variables[variable] = missing;
        const auto result = task.run();
        EXPECT_EQ(result.exitCode, 1u);
        ASSERT_EQ(result.errors.size(), 1u);
        EXPECT_TRUE(contains(result.errors[0], missing));
        EXPECT_EQ(task.read(L"exit"), "<missing>");
    }
}

TEST(EnvironmentFaults, AMissingRootOrLogDirectoryLosesOnlyTheRecords) {
    for (const bool noRoot : {true, false}) {
        SCOPED_TRACE(noRoot ? "no PRODUCT_ROOT_D" : "no admin\\logs");
        TaskRun task;
        task.config().set(L"Debug", DWORD{1});
        if (noRoot)
            task.config().remove(L"PRODUCT_ROOT_D");
        else
            RemoveDirectoryW(task.path(L"admin\\logs").c_str());
        task.variables[L"RD_CMD_ARGS"] = L"exit 4";
        const auto result = task.run();
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(task.read(L"exit"), "4");
        EXPECT_TRUE(result.records.empty());
    }
}

TEST(EnvironmentFaults, ALockedLogFileNeverStopsTheRun) {
    TaskRun task;
    task.config().set(L"Debug", DWORD{1});
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t name[64];
    swprintf(name, 64, L"admin\\logs\\korvolog_debug%04u%02u%02u.log", unsigned(now.wYear), unsigned(now.wMonth),
             unsigned(now.wDay));
    // Held without sharing for the whole run, as a careless reader might.
    const HANDLE locked = CreateFileW(task.path(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    task.variables[L"RD_CMD_ARGS"] = L"exit 2";
    const auto result = task.run(30000);
    CloseHandle(locked);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(task.read(L"exit"), "2");

    // Once the file is free again, the next run's records arrive.
    EXPECT_FALSE(task.run(30000).records.empty());
}
