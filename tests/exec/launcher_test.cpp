// The launcher against real child processes (the test child).
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "exec/launcher.h"
#include "runtime/datetime.h"
#include "runtime/files.h"
#include "errors/vexception.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::readBytes;
using test_support::writeBytes;

class Launcher : public testing::Test {
protected:
    void SetUp() override {
        std::ofstream(path(L"in.txt").c_str(), std::ios::binary) << "from stdin";
        child_.executable = test_process::siblingPath(L"rdchild.exe");
        child_.noWindow = true;
        child_.inheritDesktop = true;
    }
    std::wstring path(const std::wstring& name) const { return dir_ + L"\\" + name; }

    std::uint32_t runToEnd() {
        child_.start();
        EXPECT_TRUE(child_.waitForExit(30000));
        return child_.exitCode();
    }

    test_support::TempDir temp_{L"rundock-exec-"};
    const std::wstring dir_ = temp_.path();
    vexecutil child_;
};

}  // namespace

TEST_F(Launcher, CreationFlagsFollowRedirection) {
    const DWORD priority = GetPriorityClass(GetCurrentProcess());
    EXPECT_EQ(child_.creationFlags(), priority | CREATE_NO_WINDOW | CREATE_NEW_CONSOLE);
    child_.mergeStderr = true;  // alone it redirects nothing
    EXPECT_FALSE(child_.redirects());
    child_.stdoutFile = path(L"out.txt");
    child_.suspended = true;
    EXPECT_EQ(child_.creationFlags(), priority | CREATE_NO_WINDOW | CREATE_SUSPENDED);
    const wchar_t block[] = L"A=1\0";
    child_.environment = block;
    EXPECT_EQ(child_.creationFlags(), priority | CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT);
}

TEST_F(Launcher, ExitCodesStillActiveAndTimeouts) {
    child_.arguments = L"exit 42";
    EXPECT_EQ(runToEnd(), 42u);
    EXPECT_TRUE(child_.waitForExit(0));

    vexecutil sleeper;
    sleeper.executable = child_.executable;
    sleeper.arguments = L"sleep 60000";
    sleeper.noWindow = true;
    sleeper.start();
    EXPECT_NE(sleeper.processId(), 0u);
    EXPECT_FALSE(sleeper.waitForExit(0));
    EXPECT_EQ(sleeper.exitCode(), STILL_ACTIVE);
    sleeper.terminate(1460);
    EXPECT_TRUE(sleeper.waitForExit(30000));
    EXPECT_EQ(sleeper.exitCode(), 1460u);

    vexecutil never;
    EXPECT_NO_THROW(never.terminate(1));
    EXPECT_EQ(never.processId(), 0u);
}

TEST_F(Launcher, FilesAndMergedStandardError) {
    child_.stdinFile = path(L"in.txt");
    child_.stdoutFile = path(L"out.txt");
    child_.mergeStderr = true;
    child_.arguments = L"cat err -E- out -O-";
    EXPECT_EQ(runToEnd(), 0u);
    EXPECT_EQ(readBytes(path(L"out.txt")), "from stdin-E--O-");
}

TEST_F(Launcher, PipesCarryTheChildsThreeStreams) {
    for (const bool overlapped : {true, false}) {
        SCOPED_TRACE(overlapped ? "overlapped" : "synchronous");
        vexecutil child;
        child.executable = child_.executable;
        child.noWindow = true;
        child.inheritDesktop = true;
        child.arguments = L"cat err E";
        child.pipeStdin = child.pipeStdout = child.pipeStderr = true;
        child.overlappedPipes = overlapped;
        child.start();
        // A write ends only once it has been read, so each stream has its
        // own thread. The child reads through its own duplicate of the server
        // end, which the launcher's close kept connected.
        const auto drain = [](Con::Pipe* pipe, std::string& text) {
            char buffer[64];
            while (const std::uint32_t got = pipe->read(buffer, sizeof buffer, false)) text.append(buffer, got);
        };
        std::string output, error;
        std::thread outputReader(drain, child.stdoutPipe(), std::ref(output));
        std::thread errorReader(drain, child.stderrPipe(), std::ref(error));
        ASSERT_EQ(child.stdinPipe()->write("piped", 5, true), 5u);
        child.stdinPipe()->close(false);
        outputReader.join();
        errorReader.join();
        EXPECT_EQ(output, "piped");
        EXPECT_EQ(error, "E");
        EXPECT_TRUE(child.waitForExit(30000));
    }
}

TEST_F(Launcher, OneFileNamedForBothStreamsIsASharingViolation) {
    child_.stdoutFile = path(L"out.txt");
    child_.stderrFile = path(L".\\out.txt");
    child_.arguments = L"exit 0";
    try {
        child_.start();
        FAIL() << "started";
    } catch (const VSharingViolationException& e) {
        EXPECT_NE(e.message().find(L"Unable to create file '"), std::wstring::npos) << e.message();
    }
    EXPECT_EQ(child_.processId(), 0u);
}

TEST_F(Launcher, MissingInputAndProgramFailWithTheirOwnErrors) {
    child_.stdinFile = path(L"missing.txt");
    EXPECT_THROW(child_.start(), VFileNotFoundException);

    vexecutil missing;
    missing.executable = path(L"nothing.exe");
    missing.arguments = L"x";
    try {
        missing.start();
        FAIL();
    } catch (const vosexception& e) {
        EXPECT_NE(e.message().find(L"at CreateProcess '\"" + path(L"nothing.exe") + L"\" x'"), std::wstring::npos)
            << e.message();
    }
}

// Only a start whose new process died while starting is tried again, and
// a failure that stays reports the last attempt's error.
TEST(ProcessStart, OnlyAProcessThatDiedWhileStartingIsStartedAgain) {
    struct Outcome {
        bool started;
        int attempts;
        DWORD error;  // the last error right after the start
        bool operator==(const Outcome&) const = default;
    };
    // A start that fails with these errors in turn, then succeeds.
    const auto startFailing = [](std::vector<DWORD> errors) {
        int attempts = 0;
        SetLastError(ERROR_SUCCESS);
        const bool started = createProcessRetried([&] {
            if (static_cast<std::size_t>(attempts++) == errors.size()) return true;
            SetLastError(errors[attempts - 1]);
            return false;
        });
        return Outcome{started, attempts, GetLastError()};
    };
    const DWORD died = ERROR_INTERNAL_ERROR;
    EXPECT_EQ(startFailing({died, died}), (Outcome{true, 3, died}));
    EXPECT_EQ(startFailing(std::vector<DWORD>(kStartAttempts, died)), (Outcome{false, kStartAttempts, died}));
    EXPECT_EQ(startFailing({ERROR_FILE_NOT_FOUND}), (Outcome{false, 1, ERROR_FILE_NOT_FOUND}));
    EXPECT_EQ(startFailing({died, ERROR_ACCESS_DENIED}), (Outcome{false, 2, ERROR_ACCESS_DENIED}));
}

// A quote would end the quoted program path early and hand the rest of it
// to whatever program the first part names.
TEST_F(Launcher, AProgramPathWithAQuoteIsRefusedBeforeAnyFileIsTouched) {
    child_.executable = test_process::siblingPath(L"rdchild.exe") + L"\" exit 9 \"";
    child_.stdoutFile = path(L"out.txt");
    try {
        child_.start();
        FAIL() << "started";
    } catch (const vosexception&) {
        FAIL() << "an OS error, though nothing was started";
    } catch (const ArgumentException& e) {
        EXPECT_EQ(e.message(), L"The program path '" + child_.executable + L"' holds a double quote");
    }
    EXPECT_EQ(GetFileAttributesW(path(L"out.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Launcher, RelativeStreamFilesUseTheCurrentDirectoryAndItIsRestored) {
    wchar_t original[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, original);
    ASSERT_TRUE(CreateDirectoryW(path(L"work").c_str(), nullptr));
    ASSERT_TRUE(SetCurrentDirectoryW(dir_.c_str()));
    child_.workingDirectory = path(L"work");
    child_.stdoutFile = L"rel-out.txt";
    child_.arguments = L"out relative";
    EXPECT_EQ(runToEnd(), 0u);
    wchar_t now[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, now);
    EXPECT_EQ(_wcsicmp(now, dir_.c_str()), 0) << now;
    EXPECT_EQ(readBytes(path(L"rel-out.txt")), "relative");

    // A failed start, and a working directory that cannot be entered: the
    // child would start somewhere else.
    for (const auto& [program, directory] : {std::pair{path(L"nothing.exe"), path(L"work")},
                                             std::pair{child_.executable, path(L"no such directory")}}) {
        vexecutil failing;
        failing.executable = program;
        failing.workingDirectory = directory;
        failing.arguments = L"exit 0";
        EXPECT_THROW(failing.start(), vosexception);
        EXPECT_EQ(failing.processId(), 0u);
        GetCurrentDirectoryW(MAX_PATH, now);
        EXPECT_EQ(_wcsicmp(now, dir_.c_str()), 0) << now;
    }
    SetCurrentDirectoryW(original);
}

TEST_F(Launcher, CommandLineIsTheQuotedProgramAndVerbatimArguments) {
    child_.stdoutFile = path(L"out.txt");
    child_.arguments = L"cmdline";
    EXPECT_EQ(runToEnd(), 0u);
    EXPECT_EQ(child_.commandLine(), L"\"" + child_.executable + L"\" cmdline");

    vexecutil whole;
    whole.arguments = L"\"" + child_.executable + L"\" exit 9";
    whole.noWindow = true;
    whole.start();
    EXPECT_TRUE(whole.waitForExit(30000));
    EXPECT_EQ(whole.exitCode(), 9u);
    EXPECT_EQ(whole.commandLine(), whole.arguments);

    vexecutil bare;
    bare.executable = child_.executable;
    bare.noWindow = true;
    bare.start();
    EXPECT_EQ(bare.commandLine(), L"\"" + child_.executable + L"\" ");
    EXPECT_TRUE(bare.waitForExit(30000));
}

TEST_F(Launcher, OnlyRedirectedLaunchesInheritHandlesAndAListLimitsThemToTheStreams) {
    // An inheritable event shows up in the child only when handles are inherited.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    RunTime::AutoHandle event(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event.valid());
    const std::wstring check = L"handle " + std::to_wstring(reinterpret_cast<std::uintptr_t>(event.get()));

    child_.arguments = check;
    EXPECT_EQ(runToEnd(), 0u);

    vexecutil redirected;
    redirected.executable = child_.executable;
    redirected.noWindow = true;
    redirected.stdoutFile = path(L"out.txt");
    redirected.arguments = check;
    redirected.start();
    EXPECT_TRUE(redirected.waitForExit(30000));
    EXPECT_EQ(redirected.exitCode(), 1u);

    // With the list the streams still arrive, merged or not, but nothing else.
    for (const bool merge : {false, true}) {
        vexecutil listed;
        listed.executable = child_.executable;
        listed.noWindow = true;
        listed.inheritOnlyStdHandles = true;
        listed.stdinFile = path(L"in.txt");
        // Its own file each: Wine's console host for the child inherits
        // every inheritable handle of ours and may still hold the last one.
        const std::wstring output = path(merge ? L"merged.txt" : L"listed.txt");
        listed.stdoutFile = output;
        listed.mergeStderr = merge;
        listed.arguments = L"cat err -E- " + check;
        listed.start();
        EXPECT_TRUE(listed.waitForExit(30000));
        EXPECT_EQ(listed.exitCode(), 0u);
        EXPECT_EQ(readBytes(output), merge ? "from stdin-E-" : "from stdin");
    }
}
