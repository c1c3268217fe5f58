// The task run's own helpers: log lines, failure contexts, starts under impersonation.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "errors/format.h"
#include "runtime/access_token.h"
#include "task/adapter.h"
#include "task/process_helper.h"
#include "task/system_helper.h"
#include "tests/support/impersonation.h"
#include "tests/support/log_records.h"
#include "tests/support/process_runner.h"
#include "tests/support/raised.h"
#include "tests/support/temp_dir.h"

namespace {

const std::wstring kChild = test_process::siblingPath(L"rdchild.exe");

}  // namespace

// The start is logged before the launch, masked; then one result line per run, and a true one: a zero wait that finds
// the child running, or looking again, adds none. (The "finished" line: EnvironmentFaults.) Each operation of a task
// run adds its own context entry, outermost last, to whatever fails inside it. (getEnv and createTask cannot be made to
// fail from outside: the environment block is always there, and the helper's constructor raises nothing.)
TEST(ProcessHelper, LogsExecuteBeforeTheStartAndTheFirstTrueOutcomeOnceAndFailuresCarryEachOperationsContext) {
    test_support::TempDir dir(L"rundock-helper-");
    const std::wstring in = dir / L"missing", out = dir / L"out", err = dir / L"err", pid = dir / L"no dir\\pid";
    test_log::Recorder log;
    // The termination ends the whole tree, the grandchild that holds the name too, with the code it is given.
    const std::wstring name = test_process::treeName(L"helper");
    Rundock::DefaultProcessHelper sleeping(kChild, L"spawn 1 60000 " + name + L" sleep 60000", L"NUL", dir / L"out1",
                                           dir / L"err1");
    sleeping.start();
    EXPECT_FALSE(sleeping.waitForExit(0));
    EXPECT_TRUE(test_process::nameComesTo(name, true, 30000));
    EXPECT_FALSE(sleeping.waitForExit(50));
    sleeping.terminate(4321);
    EXPECT_TRUE(sleeping.waitForExit(30000));
    EXPECT_EQ(sleeping.getExitCode(), 4321u);
    const bool survivors = !test_process::nameComesTo(name, false, 10000);
    test_process::endSpawned(test_support::readBytes(dir / L"err1"));
    EXPECT_FALSE(survivors);
    Rundock::DefaultProcessHelper failing(kChild, L"x pwd=secret", in, out, err);
    EXPECT_THROW(failing.start(), VFileNotFoundException);
    const std::wstring line = L"Info: Execute " + kChild;
    const std::wstring tree = L" spawn 1 60000 " + name + L" sleep 60000";
    EXPECT_EQ(log.records,
              (std::vector<std::wstring>{line + tree, line + tree + L" timeout expired", line + L" x \"pwd=*\""}));

    Rundock::DefaultSystemHelper system;
    const std::map<std::wstring, std::wstring> task = {
        {L"RD_CMD_BINARY", kChild}, {L"RD_CMD_ARGS", L"a pwd=b"}, {L"RD_STDIN", in},  {L"RD_STDOUT", out},
        {L"RD_STDERR", err},        {L"RD_PID", pid},             {L"RD_EXIT_CODE", out}, {L"RD_TIMEOUT", L"9"}};
    const std::wstring process = L"(Rundock::DefaultProcessHelper::", adapter = L"(Rundock::Adapter::runTask line ";
    const std::pair<std::function<void()>, std::wstring> rows[] = {
        {[&] { failing.waitForExit(7); }, L"waitForExit(7)" + process + L"waitForExit line 48)"},
        {[&] { failing.getExitCode(); }, L"getExitCode()" + process + L"getExitCode line 59)"},
        {[&] { system.writeFile(pid, "4711"); },
         L"writeFile(" + pid + L", 4711)(Rundock::DefaultSystemHelper::writeFile line 40)"},
        {[] { Rundock::Adapter(std::make_shared<Rundock::DefaultSystemHelper>()).runTask(); },
         L"start()" + process + L"start line 31)\n   at runTask(" + kChild + L", a \"pwd=*\", " + in + L", " + out +
             L", " + err + L", " + pid + L", " + out + L", 9)" + adapter + L"74)\n   at runTask()" + adapter + L"50)"},
    };
    for (const auto& [name, value] : task) SetEnvironmentVariableW(name.c_str(), value.c_str());
    for (const auto& [action, contexts] : rows) {
        const std::wstring rendered = test_support::messageOf<vexception>(action, fullMessage);
        EXPECT_TRUE(rendered.ends_with(L"\n   at " + contexts)) << rendered;
    }
    for (const auto& [name, value] : task) SetEnvironmentVariableW(name.c_str(), nullptr);
}

// A child whose resume fails never runs: it is ended, not left suspended, and the failure stands.
TEST(ProcessHelper, AChildWhoseResumeFailsIsEnded) {
    struct Unresumable : Rundock::DefaultProcessHelper {
        using DefaultProcessHelper::DefaultProcessHelper;
        void resumeChild() override { throwOsError(L"ResumeThread", ERROR_ACCESS_DENIED, raiseSite("test", 1)); }
    };
    test_support::TempDir dir(L"rundock-resume-");
    Unresumable helper(kChild, L"exit 3", L"NUL", dir / L"out", dir / L"err");
    EXPECT_THROW(helper.start(), vosexception);
    ASSERT_EQ(WaitForSingleObject(helper.launcher().processHandle(), 30000), WAIT_OBJECT_0);
    EXPECT_EQ(helper.getExitCode(), DWORD(ERROR_CANCELLED));
}

// With the process's own standing the child gets the process token; with another standing, the user's.
TEST(ProcessHelper, ImpersonatingStartsUnderTheTokenOfTheStanding) {
    ASSERT_TRUE(RunTime::Access::isTokenMember(nullptr)) << "the test needs an administrator's process";
    for (const bool sameStanding : {true, false}) {
        RunTime::AutoHandle impersonation;
        if (sameStanding)
            ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
        else
            impersonation = test_support::impersonateWithoutAdministrators();
        vexecutil child;
        child.executable = kChild;
        child.arguments = L"exit 6";
        child.noWindow = true;
        EXPECT_NO_THROW(child.start());
        RevertToSelf();
        EXPECT_TRUE(child.waitForExit(30000));
        EXPECT_EQ(child.exitCode(), 6u);
        RunTime::AutoHandle token;
        ASSERT_TRUE(OpenProcessToken(child.processHandle(), TOKEN_QUERY, token.put())) << GetLastError();
        EXPECT_EQ(RunTime::Access::isTokenMember(token.get()), sameStanding);
    }
}


// A child that ends by itself just as its time runs out keeps its own code: the wait here says the time ran out only
// after the real child has ended with 7, and ending its job still succeeds.
TEST(TaskRun, AChildThatEndsAsItsTimeRunsOutKeepsItsOwnCode) {
    struct LateTimeout : Rundock::DefaultProcessHelper {
        using DefaultProcessHelper::DefaultProcessHelper;
        bool first = true;
        bool waitForExit(std::uint32_t milliseconds) override {
            if (!std::exchange(first, false)) return DefaultProcessHelper::waitForExit(milliseconds);
            EXPECT_TRUE(DefaultProcessHelper::waitForExit(30000));
            return false;
        }
    };
    struct System : Rundock::DefaultSystemHelper {
        std::shared_ptr<Rundock::IProcessHelper> createTask(const std::wstring& program, const std::wstring& arguments,
                                                            const std::wstring& in, const std::wstring& out,
                                                            const std::wstring& err) override {
            return std::make_shared<LateTimeout>(program, arguments, in, out, err);
        }
    };
    test_support::TempDir dir(L"rundock-late-");
    Rundock::Adapter(std::make_shared<System>())
        .runTask(kChild, L"exit 7", L"NUL", dir / L"out", dir / L"err", dir / L"pid", dir / L"exit", 9);
    EXPECT_EQ(test_support::readBytes(dir / L"exit"), "7");
}
