#include "task/process_helper.h"

#include "exec/quoting.h"
#include "log/logmanager.h"
#include "runtime/paths.h"
#include "threads/guard.h"

namespace Rundock {

DefaultProcessHelper::DefaultProcessHelper(const std::wstring& program, const std::wstring& arguments,
                                           const std::wstring& stdinFile, const std::wstring& stdoutFile,
                                           const std::wstring& stderrFile)
    : maskedArguments_(maskArguments(arguments)) {
    launcher_.executable = program;
    launcher_.arguments = arguments;
    launcher_.stdinFile = stdinFile;
    launcher_.stdoutFile = stdoutFile;
    // One file named twice would be opened twice for writing, which its
    // sharing forbids; merged, both streams write through one handle.
    launcher_.mergeStderr = VFileName::comparePaths(stdoutFile, stderrFile) == 0;
    if (!launcher_.mergeStderr) launcher_.stderrFile = stderrFile;
    launcher_.noWindow = true;
    launcher_.inheritDesktop = true;
    // Suspended until it is in its job, so that nothing it starts escapes.
    launcher_.suspended = true;
    launcher_.breakawayFromJob = VJob::childMustBreakAway();
    // Only its streams: any other handle of ours, such as the pipe on which
    // the scheduler reads our output, would stay open as long as anything
    // the task started in the background.
    launcher_.inheritOnlyStdHandles = true;
}

void DefaultProcessHelper::start() {
    static constexpr GuardedOperation kStart{"Rundock::DefaultProcessHelper::start", L"start()", 26, 31};
    guarded(kStart, [&] {
        LogManager::instance().log(Info, L"Execute %s %s", launcher_.executable, maskedArguments_);
        launcher_.start();
        try {
            try {
                job_ = VJob::contain(launcher_.processHandle());
            } catch (const vexception& e) {
                LogManager::instance().log(Warning, L"The task's processes cannot share a job; a timeout ends the "
                                                    L"child alone: %s", fullMessage(e));
            }
            resumeChild();
        } catch (...) {
            // A child that never ran must not stay behind, suspended.
            TerminateProcess(launcher_.processHandle(), ERROR_CANCELLED);
            throw;
        }
    });
}

bool DefaultProcessHelper::waitForExit(std::uint32_t milliseconds) {
    static constexpr GuardedOperation kWait{"Rundock::DefaultProcessHelper::waitForExit", L"waitForExit(%lu)", 43, 48};
    return guarded(
        kWait,
        [&] {
            const bool ended = launcher_.waitForExit(milliseconds);
            if (ended && !jobEnded_) keepBackgroundProcesses();
            // One line per run, and a true one: later waits only look
            // again, and a zero wait that finds the child running is a
            // look, not an expired timeout.
            if (!resultLogged_ && (ended || milliseconds != 0)) {
                resultLogged_ = true;
                LogManager::instance().log(Info, L"Execute %s %s %s", launcher_.executable, maskedArguments_,
                                           ended ? L"finished" : L"timeout expired");
            }
            return ended;
        },
        milliseconds);
}

void DefaultProcessHelper::keepBackgroundProcesses() {
    if (!job_.valid() || jobKept_) return;
    jobKept_ = true;
    try {
        job_.keepProcessesOnClose();
    } catch (const vexception& e) {
        LogManager::instance().log(Warning, L"The task's background processes end with the agent: %s", fullMessage(e));
    }
}

std::uint32_t DefaultProcessHelper::getExitCode() {
    static constexpr GuardedOperation kExitCode{"Rundock::DefaultProcessHelper::getExitCode", L"getExitCode()", 55, 59};
    return guarded(kExitCode, [&] { return launcher_.exitCode(); });
}

void DefaultProcessHelper::terminate(std::uint32_t exitCode) {
    static constexpr GuardedOperation kTerminate{"Rundock::DefaultProcessHelper::terminate", L"terminate(%lu)", 64, 68};
    guarded(
        kTerminate,
        [&] {
            if (job_.valid()) {
                job_.terminate(exitCode);
                jobEnded_ = true;
            } else {
                launcher_.terminate(exitCode);
            }
        },
        exitCode);
}

}  // namespace Rundock
