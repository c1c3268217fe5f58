// vexecutil: starts one child process with its standard streams taken from
// the parent or redirected to files, then waits for it, reads its exit code
// or terminates it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "exec/pipe.h"
#include "runtime/handle.h"

// While it lives, the process has the error mode it was started with (read
// before the agent added SEM_NOGPFAULTERRORBOX for its own faults), which a
// child inherits; then its own again. Starts are serialised: the report
// sender may be started on any thread that logs an Error. The last error
// stays as the start left it.
class StartErrorMode {
public:
    StartErrorMode() noexcept;
    ~StartErrorMode();
    StartErrorMode(const StartErrorMode&) = delete;
    StartErrorMode& operator=(const StartErrorMode&) = delete;

private:
    UINT own_;
};

// Runs create, a process start that returns FALSE with the last error set,
// until it succeeds, fails otherwise, or has failed kStartAttempts times with
// ERROR_INTERNAL_ERROR. Wine reports a new process that died before its own
// code ran that way, about one start in 5,000 here, so trying again cannot
// run the child twice. The last error stays that of the last attempt.
inline constexpr int kStartAttempts = 3;
template <class Create>
bool createProcessRetried(Create&& create) {
    for (int attempt = 1;; ++attempt) {
        if (create()) return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == kStartAttempts) return false;
    }
}

// createProcessRetried, each attempt under StartErrorMode: how the launcher
// starts a child.
template <class Create>
bool createInStartErrorMode(Create&& create) {
    return createProcessRetried([&] {
        const StartErrorMode mode;
        return create();
    });
}

class vexecutil {
public:
    vexecutil() = default;
    vexecutil(const vexecutil&) = delete;
    vexecutil& operator=(const vexecutil&) = delete;
    ~vexecutil() = default;  // closes the handles; a running child keeps running

    std::wstring arguments;           // verbatim; the whole command line when executable is empty
    bool noWindow = false;
    const wchar_t* environment = nullptr;  // caller-owned block; null inherits the parent's
    std::wstring executable;          // quoted as the first token when set
    bool pipeStderr = false;          // standard error to a pipe read through stderrPipe()
    bool mergeStderr = false;         // standard error duplicates standard output
    bool pipeStdin = false;           // standard input from a pipe written through stdinPipe()
    bool pipeStdout = false;          // standard output to a pipe read through stdoutPipe()
    bool useStdHandles = false;       // pass the parent's handles even without redirection
    std::wstring workingDirectory;
    std::wstring stdinFile;
    std::wstring stdoutFile;
    std::wstring stderrFile;
    bool inheritDesktop = false;      // false: the child goes to "winsta0\default"
    bool suspended = false;           // resume() lets the child run
    bool breakawayFromJob = false;    // leave the jobs of this process (each must allow it)
    bool overlappedPipes = true;      // the parent's ends; the child's are always synchronous
    // Of each pipe made; 0 is the system's. Under Wine a pipe of 0 holds
    // nothing: every write waits until the child has read it.
    std::uint32_t pipeBufferSize = 0;
    // The child inherits only the handles of its start-up record (an
    // explicit handle list). Off by default: callers may hand a child other
    // inheritable handles on purpose.
    bool inheritOnlyStdHandles = false;

    void start();
    // True when the child has ended; INFINITE waits without limit.
    bool waitForExit(std::uint32_t timeout);
    std::uint32_t exitCode();
    void terminate(std::uint32_t exitCode);
    // Lets a child started suspended run.
    void resume();
    std::uint32_t creationFlags() const;

    bool redirects() const;
    const std::wstring& commandLine() const noexcept { return commandLine_; }
    std::uint32_t processId() const noexcept { return processId_; }
    std::uint32_t threadId() const noexcept { return threadId_; }
    HANDLE processHandle() const noexcept { return process_.get(); }
    // The ends the parent keeps of the pipes it made; null when not piped.
    Con::Pipe* stdinPipe() const noexcept { return stdinPipe_.get(); }
    Con::Pipe* stdoutPipe() const noexcept { return stdoutPipe_.get(); }
    Con::Pipe* stderrPipe() const noexcept { return stderrPipe_.get(); }

private:
    std::wstring commandLine_;
    // Declared first so that they go after the process and thread handles,
    // standard input last: closing it is what ends the child's input.
    std::unique_ptr<Con::Pipe> stdinPipe_;
    std::unique_ptr<Con::Pipe> stdoutPipe_;
    std::unique_ptr<Con::Pipe> stderrPipe_;
    // Declared so that the process handle closes before the thread handle.
    RunTime::AutoHandle thread_;
    RunTime::AutoHandle process_;
    std::uint32_t processId_ = 0;
    std::uint32_t threadId_ = 0;
};
