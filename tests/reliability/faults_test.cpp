// Faults of the child and of the environment: every run ends on time, with
// the child's code recorded or with one Error record that names the cause.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "tests/support/agent_run.h"

using reliability::TaskRun;

namespace {

// The pattern rdchild's "bytes" action writes.
char patternByte(std::uint64_t i) { return static_cast<char>('a' + (i * 7 + i / 251) % 26); }

bool isDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
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

// A timeout ends every process of the task, however deep it started them.
TEST(TaskTree, ATimeoutEndsTheWholeTreeThreeLevelsDeep) {
    TaskRun task;
    const std::wstring name = test_process::treeName(L"timeout");
    // Child, grandchild and great-grandchild each hold the name.
    task.variables[L"RD_CMD_ARGS"] = L"name " + name + L" spawn 2 60000 " + name + L" sleep 60000";
    task.variables[L"RD_TIMEOUT"] = L"3";
    const auto result = task.run();
    const bool survivors = !test_process::nameComesTo(name, false, 10000);
    const std::string spawned = task.read(L"err.txt");
    test_process::endSpawned(spawned);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(task.read(L"exit"), "1460");
    EXPECT_EQ(std::count(spawned.begin(), spawned.end(), '\n'), 2) << "tree not built";
    EXPECT_FALSE(survivors);
}

// A child that ends in time leaves its background program running, and the
// program holds only the task's streams: the scheduler's pipe to the agent
// ends with the agent.
TEST(TaskTree, ABackgroundProgramOutlivesTheChildButNotTheAgentsOutput) {
    TaskRun task;
    const std::wstring name = test_process::treeName(L"background");
    task.variables[L"RD_CMD_ARGS"] = L"spawn 1 60000 " + name + L" out hello exit 6";
    const DWORD began = GetTickCount();
    // Bounded far below the program's minute: it must not hold our pipe.
    const auto result = task.run(30000);
    const DWORD took = GetTickCount() - began;
    const bool running = test_process::nameComesTo(name, true, 10000);
    test_process::endSpawned(task.read(L"err.txt"));
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_LT(took, 20000u);
    EXPECT_EQ(task.read(L"exit"), "6");
    EXPECT_EQ(task.read(L"out.txt"), "hello");
    EXPECT_TRUE(running);
}

// Many runs at once, each ending its own tree: no process of any survives.
TEST(TaskTree, ThirtyTwoAgentsTimingOutAtOnceEachEndTheirWholeTree) {
    constexpr int kAgents = 32;
    TaskRun shared;  // the configuration and the log directory
    const std::wstring agent = test_process::siblingPath(L"rundock.exe");
    std::vector<std::wstring> names;
    std::vector<DWORD> exitCodes(kAgents, 0xDEAD);
    std::vector<std::thread> runs;
    for (int i = 0; i < kAgents; ++i) {
        const std::wstring directory = shared.path(std::to_wstring(i));
        CreateDirectoryW(directory.c_str(), nullptr);
        test_support::writeBytes(directory + L"\\in.txt", "");
        names.push_back(test_process::treeName(L"many"));
        auto variables = test_process::childTask(
            directory, L"name " + names.back() + L" spawn 2 60000 " + names.back() + L" sleep 60000");
        variables[L"RD_TIMEOUT"] = L"3";
        runs.emplace_back([&, i, block = test_process::taskEnvironment(variables)] {
            try {
                exitCodes[i] = test_process::run(agent, L"\"" + agent + L"\"", 120000, block).exitCode;
            } catch (const std::exception&) {
            }
        });
    }
    for (std::thread& run : runs) run.join();
    for (int i = 0; i < kAgents; ++i) {
        SCOPED_TRACE(i);
        const std::wstring directory = std::to_wstring(i) + L"\\";
        const bool survivors = !test_process::nameComesTo(names[i], false, 10000);
        test_process::endSpawned(shared.read(directory + L"err.txt"));
        EXPECT_EQ(exitCodes[i], 0u);
        EXPECT_EQ(shared.read(directory + L"exit"), "1460");
        EXPECT_FALSE(survivors);
    }
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

// The scheduler may run a task again with the same files: what an earlier,
// longer run left in them must not trail the new output.
TEST(ChildFaults, StreamFilesHoldOnlyTheLastChildsOutput) {
    TaskRun task;
    test_support::writeBytes(task.path(L"out.txt"), std::string(4096, 'o'));
    test_support::writeBytes(task.path(L"err.txt"), std::string(4096, 'e'));
    task.variables[L"RD_CMD_ARGS"] = L"out fresh err new";
    ASSERT_EQ(task.run().exitCode, 0u);
    EXPECT_EQ(task.read(L"out.txt"), "fresh");
    EXPECT_EQ(task.read(L"err.txt"), "new");
}

// The command line is logged masked, and a failed command has no end line.
TEST(CommandRecords, StartAndEndShowTheMaskedLineAndAFailureHasNoEnd) {
    TaskRun task;
    task.config().set(L"Debug", DWORD{1});
    const std::wstring agent = test_process::siblingPath(L"rundock.exe");
    const reliability::AgentResult ended = task.run(60000, L"--run-task --internal-package-name");
    ASSERT_EQ(ended.exitCode, 0u);
    const std::wstring line = L"'" + agent + L" --run-task --internal-package-name'";
    EXPECT_EQ(ended.records.front(), L"Info: Start command: " + line);
    EXPECT_EQ(ended.records.back(), L"Info: End command " + line + L" with code: 0");

    const reliability::AgentResult failed = task.run(60000, L"--run-task \"password=two words\"");
    ASSERT_EQ(failed.exitCode, 1u);
    const std::vector<std::wstring> records(failed.records.begin() + ended.records.size(), failed.records.end());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], L"Info: Start command: '" + agent + L" --run-task \"password=*\"'");
    EXPECT_EQ(records[1].rfind(L"Error: Unexpected parameter password.", 0), 0u) << testing::PrintToString(records[1]);
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
    // A result file in a directory that does not exist. A child that can no
    // longer be watched is ended with all it started, and the run logs one
    // true result line at most: that ending is no expired timeout.
    for (const auto& [variable, unwatched] : {std::pair{L"RD_PID", true}, std::pair{L"RD_EXIT_CODE", false}}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(variable)));
        TaskRun task;
        task.config().set(L"Debug", DWORD{1});
        const std::wstring missing = task.path(L"no such dir\\result");
        const std::wstring name = test_process::treeName(L"unwatched");
        task.variables[variable] = missing;
        task.variables[L"RD_CMD_ARGS"] =
            unwatched ? L"name " + name + L" spawn 1 60000 " + name + L" sleep 60000" : std::wstring(L"exit 0");
        const auto result = task.run();
        const bool survivors = !test_process::nameComesTo(name, false, 10000);
        test_process::endSpawned(task.read(L"err.txt"));
        EXPECT_EQ(result.exitCode, 1u);
        ASSERT_EQ(result.errors.size(), 1u);
        EXPECT_TRUE(contains(result.errors[0], missing));
        EXPECT_EQ(task.read(L"exit"), "<missing>");
        EXPECT_FALSE(survivors);
        std::vector<std::wstring> resultLines;
        for (const std::wstring& record : result.records)
            if (contains(record, L" finished") || contains(record, L" timeout expired")) resultLines.push_back(record);
        ASSERT_EQ(resultLines.size(), unwatched ? 0u : 1u);
        if (!unwatched) {
            EXPECT_TRUE(contains(resultLines[0], L" finished"));
        }
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
