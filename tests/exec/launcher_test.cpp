// The launcher against real child processes (the test child).
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "exec/launcher.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"

namespace {

const std::wstring kChild = test_process::siblingPath(L"rdchild.exe");

// child started as the test child with arguments; its exit code once ended.
std::uint32_t run(vexecutil& child, const std::wstring& arguments) {
    child.executable = kChild;
    child.arguments = arguments;
    child.noWindow = child.inheritDesktop = true;
    child.start();
    EXPECT_TRUE(child.waitForExit(30000));
    return child.exitCode();
}

}  // namespace

TEST(Launcher, ExitCodesResumeAndTermination) {
    vexecutil suspended;
    suspended.suspended = true;
    suspended.executable = kChild;
    suspended.arguments = L"exit 42";
    suspended.start();
    EXPECT_FALSE(suspended.waitForExit(300));
    suspended.resume();
    EXPECT_TRUE(suspended.waitForExit(30000));
    EXPECT_EQ(suspended.exitCode(), 42u);

    // Without a program, the arguments are the whole command line.
    vexecutil sleeper;
    sleeper.arguments = L"\"" + kChild + L"\" sleep 60000";
    sleeper.start();
    EXPECT_FALSE(sleeper.waitForExit(0));
    EXPECT_EQ(sleeper.exitCode(), STILL_ACTIVE);
    sleeper.terminate(1460);
    EXPECT_TRUE(sleeper.waitForExit(30000));
    EXPECT_EQ(sleeper.exitCode(), 1460u);
    EXPECT_NO_THROW(vexecutil().terminate(1));
}

// An inheritable handle of ours reaches the child only when it inherits
// handles for its streams, and not at all with the list of them; the
// streams still arrive, standard error merged or not.
TEST(Launcher, OnlyRedirectedLaunchesInheritHandlesAndAListLimitsThemToTheStreams) {
    test_support::TempDir dir(L"rundock-exec-");
    test_support::writeBytes(dir / L"in.txt", "from stdin");
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    RunTime::AutoHandle event(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event.valid());
    const std::wstring check = L"handle " + std::to_wstring(reinterpret_cast<std::uintptr_t>(event.get()));
    vexecutil bare, redirected;
    EXPECT_EQ(run(bare, check), 0u);
    redirected.stdoutFile = dir / L"out.txt";
    EXPECT_EQ(run(redirected, check), 1u);
    for (const bool merge : {false, true}) {
        vexecutil listed;
        listed.inheritOnlyStdHandles = true;
        listed.stdinFile = dir / L"in.txt";
        // Its own file each: Wine's console host for the child inherits
        // every inheritable handle of ours and may still hold the last one.
        listed.stdoutFile = dir / (merge ? L"merged.txt" : L"listed.txt");
        listed.mergeStderr = merge;
        EXPECT_EQ(run(listed, L"cat err -E- " + check), 0u);
        EXPECT_EQ(test_support::readBytes(listed.stdoutFile), merge ? "from stdin-E-" : "from stdin");
    }
}
