// Faults of the child and the environment, and bad or unusual task variables, end to end: every run ends on time, with
// the child's code recorded or with one Error record (whose messages the task-run and launcher tests pin).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <tuple>

#include "runtime/files.h"
#include "tests/support/agent_run.h"
#include "tests/support/platform.h"

using reliability::isDecimal;
using reliability::TaskRun;

// The child's arguments for a tree of levels processes below it, each holding name and sleeping for a minute.
static std::wstring tree(const std::wstring& name, int levels) {
    return L"name " + name + L" spawn " + std::to_wstring(levels) + L" 60000 " + name + L" sleep 60000";
}

TEST(TaskTree, ATimeoutRecords1460AndEndsTheWholeTreeThreeLevelsDeep) {
    TaskRun task;
    const std::wstring name = test_process::treeName(L"timeout");
    task.variables[L"RD_CMD_ARGS"] = tree(name, 2);  // child, grandchild and great-grandchild
    task.variables[L"RD_TIMEOUT"] = L"8";  // room to build the tree on a slow machine
    const auto result = task.run();
    const bool survivors = !test_process::nameComesTo(name, false, 10000);
    const std::string spawned = task.read(L"err.txt");
    test_process::endSpawned(spawned);
    EXPECT_EQ(std::tuple(result.exitCode, task.read(L"exit")), std::tuple(0u, "1460"));
    EXPECT_EQ(std::count(spawned.begin(), spawned.end(), '\n'), 2) << "tree not built";
    EXPECT_FALSE(survivors);
}

// Inside a job with UI limits the agent's own job is refused (jobs with UI limits do not nest): the run warns and a
// timeout still ends the child. Where that job allows breakaway the child leaves it for a job of its own, whose end
// takes the whole tree. The outer job ends whatever is left when its handle closes.
TEST(TaskTree, InsideAJobWithUiLimitsATimeoutStillRecords1460) {
    if (test_support::runningUnderWine()) GTEST_SKIP() << "Wine enforces no job limits: it nests every job";
    for (const bool breakaway : {false, true}) {
        SCOPED_TRACE(breakaway);
        const RunTime::AutoHandle job(CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_BASIC_UI_RESTRICTIONS ui{JOB_OBJECT_UILIMIT_DESKTOP};
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{{.LimitFlags = DWORD(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                                                         (breakaway ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0))}};
        ASSERT_TRUE(SetInformationJobObject(job.get(), JobObjectBasicUIRestrictions, &ui, sizeof ui) &&
                    SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits));
        TaskRun task;
        task.config().set(L"Debug", DWORD{1});  // for the Warning record
        const std::wstring name = test_process::treeName(L"jobbed");
        task.variables[L"RD_CMD_ARGS"] = tree(name, 1);
        task.variables[L"RD_TIMEOUT"] = L"5";
        const auto result = task.run(60000, {}, job.get());
        const bool survivors = !test_process::nameComesTo(name, false, 10000);
        test_process::endSpawned(task.read(L"err.txt"));
        EXPECT_EQ(task.read(L"exit"), "1460");
        EXPECT_EQ(std::ranges::count_if(result.records, [](const std::wstring& record) {
                      return record.starts_with(L"Warning: The task's processes cannot share a job");
                  }), breakaway ? 0 : 1);
        EXPECT_TRUE(!breakaway || !survivors);
    }
}

// A child that ends in time leaves its background program running, and the program holds only the task's streams: the
// scheduler's pipe to the agent ends with the agent (else run waits until the program has gone). An agent ended from
// outside while its child runs (a service stop, an operator's kill) takes the whole task with it.
TEST(TaskTree, ABackgroundProgramOutlivesTheChildButNotTheAgentsOutputNorAKilledAgent) {
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed);
        TaskRun task;
        const std::wstring name = test_process::treeName(L"background");
        task.variables[L"RD_CMD_ARGS"] = L"spawn 1 60000 " + name + (killed ? L" sleep 60000" : L" out hello exit 6");
        std::thread killer;  // once the tree is built
        const auto result = task.run(30000, {}, nullptr, [&](DWORD agent) {
            killer = std::thread([=, process = RunTime::AutoHandle(OpenProcess(PROCESS_TERMINATE, FALSE, agent))] {
                if (killed && test_process::nameComesTo(name, true, 20000)) TerminateProcess(process.get(), 9);
            });
        });
        killer.join();
        const bool running = killed ? !test_process::nameComesTo(name, false, 10000)
                                    : test_process::nameComesTo(name, true, 10000);
        test_process::endSpawned(task.read(L"err.txt"));
        EXPECT_EQ(std::tuple(result.exitCode, task.read(L"exit"), task.read(L"out.txt")),
                  killed ? std::tuple(9u, "<missing>", "") : std::tuple(0u, "6", "hello"));
        EXPECT_EQ(running, !killed);
    }
}

// The command line is logged masked, and a failed command has no end line.
TEST(CommandRecords, StartAndEndShowTheMaskedLineAndAFailureHasNoEnd) {
    TaskRun task;
    task.config().set(L"Debug", DWORD{1});
    task.variables[L"RD_CMD_ARGS"] = TaskRun::kAbsent;  // the arguments may be absent
    const auto ended = task.run(60000, {L"--run-task", L"--internal-package-name"});
    ASSERT_EQ(ended.exitCode, 0u);
    const std::wstring line = L"'" + task.agent + L" --run-task --internal-package-name'";
    EXPECT_EQ(ended.records.front(), L"Info: Start command: " + line);
    EXPECT_EQ(ended.records.back(), L"Info: End command " + line + L" with code: 0");

    const auto failed = task.run(60000, {L"--run-task", L"password=two words"});
    ASSERT_EQ(failed.exitCode, 1u);
    const std::vector<std::wstring> records(failed.records.begin() + ended.records.size(), failed.records.end());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], L"Info: Start command: '" + task.agent + L" --run-task \"password=*\"'");
    EXPECT_EQ(records[1].rfind(L"Error: Unexpected parameter password.", 0), 0u) << testing::PrintToString(records[1]);
}

// A result file in a directory that does not exist. A child that can no longer be watched is ended with all it started,
// and the run logs one true result line at most: that ending is no expired timeout.
TEST(EnvironmentFaults, UnwritableResultFilesFailWithOneRecordNamingThem) {
    for (const bool unwatched : {true, false}) {
        SCOPED_TRACE(unwatched ? "RD_PID" : "RD_EXIT_CODE");
        TaskRun task;
        task.config().set(L"Debug", DWORD{1});
        test_support::writeBytes(task.path(L"exit"), "old");
        const std::wstring path = task.path(L"no such dir\\result"), name = test_process::treeName(L"unwatched");
        task.variables[unwatched ? L"RD_PID" : L"RD_EXIT_CODE"] = path;
        task.variables[L"RD_CMD_ARGS"] = unwatched ? tree(name, 1) : L"exit 0";
        const auto result = task.run();
        const bool survivors = !test_process::nameComesTo(name, false, 10000);
        test_process::endSpawned(task.read(L"err.txt"));
        EXPECT_EQ(std::tuple(result.exitCode, result.output), std::tuple(1u, ""));
        ASSERT_EQ(result.errors.size(), 1u);
        EXPECT_NE(result.errors[0].find(path), std::wstring::npos);
        EXPECT_EQ(task.read(L"exit"), "old");
        EXPECT_EQ(isDecimal(task.read(L"pid")), !unwatched);
        EXPECT_FALSE(survivors);
        std::wstring outcomes;  // of the process helper's result lines
        for (const std::wstring& record : result.records)
            for (const wchar_t* outcome : {L" finished", L" timeout expired"})
                if (record.find(outcome) != std::wstring::npos) outcomes += outcome;
        EXPECT_EQ(outcomes, unwatched ? L"" : L" finished");
    }
}

// Held without sharing for the whole run, as a careless reader might: the records stay out until it is free again.
TEST(EnvironmentFaults, ALockedLogFileNeverStopsTheRun) {
    TaskRun task;
    task.config().set(L"Debug", DWORD{1});
    const HANDLE locked = CreateFileW(test_log::todaysLogFile(task.directory()).c_str(),
                                      GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    task.variables[L"RD_CMD_ARGS"] = L"exit 4";
    const auto result = task.run(30000);
    CloseHandle(locked);
    EXPECT_EQ(std::tuple(result.exitCode, task.read(L"exit")), std::tuple(0u, "4"));
    EXPECT_TRUE(result.records.empty());
    EXPECT_FALSE(task.run(30000).records.empty());
}

// Any process may take the agent's named locks and keep them: the log file's, the event-log registration's and the
// cancellation registry's (named with the agent's process id). A run with "Debug" on and a failing run still end, with
// their codes and every record, once the process's wait for the lock has run out (shortened here): each within the
// free run's time, one wait and a margin, so a run that waits for the lock at every record fails.
TEST(LockFaults, AHeldLockNeitherStopsARunNorLosesItsRecords) {
    const std::wstring registry = L"{D660A9E0-ED82-4a76-A607-E7B8471B868E}:";
    constexpr ULONGLONG kWaitMs = 1000, kMarginMs = 1500;
    for (const std::wstring& lock : {std::wstring(L"korvolog_debug_mutex"),
                                     std::wstring(L"Global\\{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}"), registry}) {
        SCOPED_TRACE(lock);
        TaskRun task;
        task.config().set(L"Debug", DWORD{1});
        task.variables[L"RUNDOCK_LOCK_WAIT_MS"] = std::to_wstring(kWaitMs);
        task.variables[L"RD_CMD_ARGS"] = L"exit 4";
        ULONGLONG started = 0;
        const auto free = task.run(20000, {}, nullptr, [&](DWORD) { started = GetTickCount64(); });
        const ULONGLONG bound = GetTickCount64() - started + kWaitMs + kMarginMs;
        ASSERT_EQ(free.exitCode, 0u);  // the day's file has its mark now
        std::unique_ptr<test_process::MutexHolder> holder;
        const auto hold = [&](DWORD agent) {
            holder = std::make_unique<test_process::MutexHolder>(lock == registry ? lock + std::to_wstring(agent) : lock);
            started = GetTickCount64();
        };
        const auto debug = task.run(20000, {}, nullptr, hold);
        EXPECT_LT(GetTickCount64() - started, bound);
        holder.reset();
        EXPECT_EQ(std::tuple(debug.exitCode, task.read(L"exit")), std::tuple(0u, "4"));
        EXPECT_EQ(debug.records.size(), 2 * free.records.size());
        const auto failed = task.run(20000, {L"--run-task", L"--bogus"}, nullptr, hold);
        EXPECT_LT(GetTickCount64() - started, bound);
        holder.reset();
        EXPECT_EQ(std::tuple(failed.exitCode, failed.errors.size()), std::tuple(1u, 1u));
    }
}

// A task run again with the same files: what a longer run left in them must not trail the new output and results, and
// input and arguments pass verbatim. A tracer that faults as the agent releases it at exit costs neither the exit code
// nor a result; with dumps off nothing trims the dumps of the working directory either.
TEST(ChildFaults, StreamFilesHoldOnlyTheLastOutputAndATracerFaultingAtExitCostsNothing) {
    TaskRun task;
    task.agent = task.path(L"rundock.exe");
    ASSERT_TRUE(CopyFileW(test_process::siblingPath(L"rundock.exe").c_str(), task.agent.c_str(), TRUE));
    ASSERT_TRUE(CopyFileW(test_process::siblingPath(L"rdprovider.dll").c_str(),
                          task.path(L"opentracingprovider.dll").c_str(), TRUE));
    task.config().set(L"opentracing_enabled", DWORD{1});
    task.config().set(L"CrashDumpsEnabled", DWORD{0});
    for (int i = 0; i < 11; ++i) test_support::writeBytes(task.path(std::to_wstring(i) + L".dmp"), "x");  // > the default count
    task.variables.insert({{L"RD_PROVIDER_FAULT", L"tracer"}, {L"RD_PROVIDER_QUIET", L"1"}});
    const std::string input("line one\r\nbinary\0\xff", 19);
    test_support::writeBytes(task.path(L"in.txt"), input);
    for (const wchar_t* name : {L"out.txt", L"err.txt", L"pid", L"exit"})
        test_support::writeBytes(task.path(name), std::string(4096, 'o'));
    task.variables[L"RD_CMD_ARGS"] = L"cat cmdline err new exit 7";
    const auto result = task.run();
    EXPECT_EQ(std::tuple(result.exitCode, result.output, result.errors.size()), std::tuple(0u, "", 0u));
    EXPECT_EQ(task.read(L"out.txt"), input + cstr(L"\"" + task.variables[L"RD_CMD_BINARY"] + L"\" " +
                                                      task.variables[L"RD_CMD_ARGS"], CP_UTF8));
    EXPECT_EQ(std::tuple(task.read(L"err.txt"), task.read(L"exit")), std::tuple("new", "7"));
    EXPECT_TRUE(isDecimal(task.read(L"pid"))) << task.read(L"pid");
    EXPECT_EQ(test_support::fileNames(task.path(L"*.dmp")).size(), 11u);
}

// Names in any case; relative paths (from the agent's current directory), deep ones past the classic 260-character
// limit and ones outside ASCII; one file spelled twice for both streams, which then share it.
TEST(BadInput, UnusualNamesAndPathsStillRunTheTask) {
    TaskRun task;
    const std::wstring deep = std::wstring(120, L'd') + L"\\\u00e9t\u00e9 \U0001F600\\" + std::wstring(120, L'e');
    VDirectory::createDirectory(task.path(deep), nullptr);
    const std::wstring child = test_process::siblingPath(L"rdchild.exe"), copy = task.path(L"bin\\child.exe");
    ASSERT_TRUE(CreateDirectoryW(task.path(L"bin").c_str(), nullptr) && CopyFileW(child.c_str(), copy.c_str(), TRUE));
    task.variables = {{L"rd_cmd_binary", L"bin\\child.exe"},           {L"Rd_Stdin", L"in.txt"},
                      {L"rd_stdout", deep + L"/out.txt"},              {L"RD_stderr", deep + L"\\OUT.TXT"},
                      {L"rd_pid", deep + L"\\pid"},                    {L"rd_exit_code", task.path(deep) + L"\\exit"},
                      {L"rd_timeout", L"30"}, {L"rd_cmd_args", L"out \u00e9t\u00e9 err 2 exit 3"}};
    ASSERT_EQ(task.run().exitCode, 0u);
    const std::wstring below = L"\\\\?\\" + task.path(deep) + L"\\";
    EXPECT_EQ(test_support::readBytes(below + L"exit"), "3");
    EXPECT_EQ(test_support::readBytes(below + L"out.txt"), "\xc3\xa9t\xc3\xa9" "2");
    EXPECT_TRUE(isDecimal(test_support::readBytes(below + L"pid")));
}

// Stream and result files named as people write them, resolved as Windows does: a device path and a long one written
// with '/', the null device as batch files write it, drive-relative, a trailing dot or blank (as a batch file's "set"
// keeps it).
TEST(BadInput, NamesAsPeopleWriteThemLandWhereWindowsPutsThem) {
    TaskRun task;
    std::wstring slashed = task.directory();
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    const std::wstring drive = task.directory().substr(0, 2);
    task.variables[L"RD_STDIN"] = L"//./" + slashed + L"/in.txt";
    task.variables[L"RD_STDOUT"] = L"//?/" + slashed + L"/out.txt";
    task.variables[L"RD_STDERR"] = L"NUL:";
    task.variables[L"RD_PID"] = drive + L"pid.";
    task.variables[L"RD_EXIT_CODE"] = L"exit ";
    task.variables[L"RD_CMD_ARGS"] = L"out A err B exit 3";
    ASSERT_EQ(task.run().exitCode, 0u);
    EXPECT_EQ(std::tuple(task.read(L"out.txt"), task.read(L"exit")), std::tuple("A", "3"));
    EXPECT_TRUE(isDecimal(task.read(L"pid"))) << task.read(L"pid");
    EXPECT_EQ(test_support::fileNames(task.path(L"*")),
              (std::vector<std::wstring>{L"exit", L"in.txt", L"out.txt", L"pid"}));
}
