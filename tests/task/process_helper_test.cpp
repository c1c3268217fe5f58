// The process helper's log lines and the log manager's handler dispatch.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "log/logmanager.h"
#include "runtime/security.h"
#include "task/process_helper.h"
#include "tests/support/impersonation.h"
#include "tests/support/log_records.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"

namespace {

using test_log::Recorder;

const std::wstring kChild = test_process::siblingPath(L"rdchild.exe");

}  // namespace

// One result line per run, and a true one: looking again, or a zero wait
// that finds the child running, adds none.
TEST(ProcessHelper, LogsExecuteBeforeTheStartAndTheFirstTrueOutcomeOnce) {
    test_support::TempDir dir(L"rundock-helper-");
    Recorder log;
    Rundock::DefaultProcessHelper finished(kChild, L"exit 4 pwd=secret", dir / L"in", dir / L"out", dir / L"OUT");
    test_support::writeBytes(dir / L"in", "");
    EXPECT_TRUE(finished.launcher().mergeStderr);
    finished.start();
    EXPECT_TRUE(finished.waitForExit(30000));
    EXPECT_TRUE(finished.waitForExit(0));
    EXPECT_EQ(finished.getExitCode(), 4u);

    Rundock::DefaultProcessHelper sleeping(kChild, L"sleep 60000", dir / L"in", dir / L"out2", dir / L"err2");
    sleeping.start();
    EXPECT_FALSE(sleeping.waitForExit(0));
    EXPECT_FALSE(sleeping.waitForExit(50));
    sleeping.terminate(1460);
    EXPECT_TRUE(sleeping.waitForExit(30000));

    Rundock::DefaultProcessHelper failing(kChild, L"x", dir / L"missing", dir / L"out3", dir / L"err3");
    EXPECT_THROW(failing.start(), VFileNotFoundException);

    EXPECT_EQ(log.records, (std::vector<std::wstring>{
                               L"Info: Execute " + kChild + L" exit 4 \"pwd=*\"",
                               L"Info: Execute " + kChild + L" exit 4 \"pwd=*\" finished",
                               L"Info: Execute " + kChild + L" sleep 60000",
                               L"Info: Execute " + kChild + L" sleep 60000 timeout expired",
                               L"Info: Execute " + kChild + L" x",
                           }));
}

namespace {

// Starts the test child with the given exit code on this impersonating
// thread, then reverts to the process token.
std::unique_ptr<vexecutil> startWhileImpersonating(const std::wstring& exitCode) {
    auto child = std::make_unique<vexecutil>();
    child->executable = kChild;
    child->arguments = L"exit " + exitCode;
    child->noWindow = true;
    EXPECT_NO_THROW(child->start());
    RevertToSelf();
    return child;
}

}  // namespace

TEST(ProcessHelper, ImpersonatingWithTheSameStandingStartsUnderTheProcessToken) {
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    const auto child = startWhileImpersonating(L"6");
    EXPECT_TRUE(child->waitForExit(30000));
    EXPECT_EQ(child->exitCode(), 6u);
}

TEST(ProcessHelper, ImpersonatingWithADifferentStandingStartsUnderTheUsersToken) {
    ASSERT_TRUE(RunTime::Access::isTokenMember(nullptr)) << "the test needs an administrator's process";
    const RunTime::AutoHandle impersonation = test_support::impersonateWithoutAdministrators();
    const bool impersonatedIsAdmin = RunTime::Access::isTokenMember(nullptr);
    const auto child = startWhileImpersonating(L"7");
    EXPECT_FALSE(impersonatedIsAdmin);
    EXPECT_TRUE(child->waitForExit(30000));
    EXPECT_EQ(child->exitCode(), 7u);
    // The child carries the impersonated user's token, not the process's.
    RunTime::AutoHandle childToken;
    ASSERT_TRUE(OpenProcessToken(child->processHandle(), TOKEN_QUERY, childToken.put())) << GetLastError();
    EXPECT_FALSE(RunTime::Access::isTokenMember(childToken.get()));
}

TEST(LogManagerDispatch, HandlersGetEveryLevelAndAThrowingHandlerStopsOnlyTheLaterOnes) {
    Recorder first;
    Recorder second;
    LogManager::instance().log(Info, L"%s=%d", L"a", 1);
    LogManager::instance().log(Crash, L"b");
    EXPECT_EQ(first.records, (std::vector<std::wstring>{L"Info: a=1", L"Crash: b"}));
    EXPECT_EQ(second.records, first.records);

    first.throws = true;
    EXPECT_NO_THROW(LogManager::instance().log(Warning, L"c"));
    EXPECT_EQ(first.records.back(), L"Warning: c");
    EXPECT_EQ(second.records.size(), 2u);

    // A format that fails drops the record before any destination.
    LogManager::instance().log(Info, nullptr);
    EXPECT_EQ(first.records.size(), 3u);

    first.throws = false;
    LogManager::instance().log(Error, vexception(L"boom", raiseSite("f", 1)));
    EXPECT_EQ(first.exceptions, std::vector<std::wstring>{L"Error: boom"});
    EXPECT_EQ(logLevelName(6), std::wstring(L"Unknown level"));
}
