#include "task/adapter.h"

#include <windows.h>

#include <cwchar>

#include "exec/quoting.h"
#include "threads/guard.h"

namespace Rundock {

namespace {

std::wstring valueOf(const EnvironmentMap& environment, const wchar_t* name) {
    const auto found = environment.find(name);
    return found == environment.end() ? std::wstring() : found->second;
}

// A value of blanks names no file and no number: it would only fail later,
// after the child had been started, and leave it running unwatched.
bool undefined(const std::wstring& value) { return value.find_first_not_of(L" \t\r\n\v\f") == std::wstring::npos; }

}  // namespace

std::uint32_t Adapter::waitMilliseconds(std::uint32_t timeoutSeconds) noexcept {
    // Above 4294967 s the product no longer fits 32 bits: clamp to the
    // longest finite wait rather than wrap into a short one.
    const std::uint64_t milliseconds = std::uint64_t(timeoutSeconds) * 1000u;
    return milliseconds >= INFINITE ? INFINITE - 1 : static_cast<std::uint32_t>(milliseconds);
}

void Adapter::runTask() {
    static constexpr GuardedOperation kRunTask{"Rundock::Adapter::runTask", L"runTask()", 14, 50};
    guarded(kRunTask, [&] {
        const EnvironmentMap environment = systemHelper_->getEnv();
        for (const wchar_t* name : kRequiredVariables)
            if (undefined(valueOf(environment, name)))
                throw ArgumentException(formatString(kUndefinedMessage, name),
                                        raiseSite("Rundock::Adapter::runTask", 39));

        const std::wstring timeoutText = valueOf(environment, L"RD_TIMEOUT");
        const std::uint32_t timeout = static_cast<std::uint32_t>(std::wcstoul(timeoutText.c_str(), nullptr, 10));
        if (timeout == 0)
            throw ArgumentException(
                formatString(kInvalidMessage, L"RD_TIMEOUT", timeoutText),
                raiseSite("Rundock::Adapter::runTask", 45));

        runTask(valueOf(environment, L"RD_CMD_BINARY"), valueOf(environment, L"RD_CMD_ARGS"),
                valueOf(environment, L"RD_STDIN"), valueOf(environment, L"RD_STDOUT"),
                valueOf(environment, L"RD_STDERR"), valueOf(environment, L"RD_PID"),
                valueOf(environment, L"RD_EXIT_CODE"), timeout);
    });
}

std::uint32_t Adapter::awaitExitCode(IProcessHelper& task, std::uint32_t timeoutSeconds) {
    if (task.waitForExit(waitMilliseconds(timeoutSeconds))) return task.getExitCode();
    try {
        task.terminate(kTimeoutExitCode);
    } catch (const vexception&) {
        // The child may have ended between the wait and the termination:
        // then its own code is the true result.
        if (!task.waitForExit(0)) throw;
        return task.getExitCode();
    }
    // Ending a job succeeds also when the child had just ended by itself,
    // and the termination completes only later: the code it leaves is the
    // truth, 1460 when we ended it. Still running, it is ours to have ended.
    if (!task.waitForExit(kTerminationWaitMilliseconds)) return kTimeoutExitCode;
    return task.getExitCode();
}

void Adapter::endIfRunning(IProcessHelper& task) {
    bool running = true;
    try {
        running = !task.waitForExit(0);
    } catch (const vexception&) {
    }
    try {
        if (running) task.terminate(kAbandonedExitCode);
    } catch (const vexception&) {
    }
}

void Adapter::runTask(const std::wstring& program, const std::wstring& arguments, const std::wstring& stdinFile,
                      const std::wstring& stdoutFile, const std::wstring& stderrFile, const std::wstring& pidFile,
                      const std::wstring& exitCodeFile, std::uint32_t timeoutSeconds) {
    static constexpr GuardedOperation kRunTask{"Rundock::Adapter::runTask",
                                               L"runTask(%s, %s, %s, %s, %s, %s, %s, %lu)", 57, 74};
    const std::wstring maskedArguments = maskArguments(arguments);
    guarded(
        kRunTask,
        [&] {
            const std::shared_ptr<IProcessHelper> task =
                systemHelper_->createTask(program, arguments, stdinFile, stdoutFile, stderrFile);
            task->start();
            std::uint32_t exitCode;
            try {
                systemHelper_->writeFile(pidFile, cstr(toDecimal(task->getPid()), CP_ACP));
                exitCode = awaitExitCode(*task, timeoutSeconds);
            } catch (...) {
                // The child would go on running unwatched, and without its PID
                // the scheduler could not even stop it: end it first.
                endIfRunning(*task);
                throw;
            }
            systemHelper_->writeFile(exitCodeFile, cstr(toDecimal(exitCode), CP_ACP));
        },
        program, maskedArguments, stdinFile, stdoutFile, stderrFile, pidFile, exitCodeFile, timeoutSeconds);
}

}  // namespace Rundock
