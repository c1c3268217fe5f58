// The task run: reads the RD_* environment, starts the child, records its
// PID, waits within the timeout and records its exit code.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "task/helpers.h"

namespace Rundock {

class Adapter {
public:
    explicit Adapter(std::shared_ptr<ISystemHelper> systemHelper) : systemHelper_(std::move(systemHelper)) {}

    // From the environment.
    void runTask();
    void runTask(const std::wstring& program, const std::wstring& arguments, const std::wstring& stdinFile,
                 const std::wstring& stdoutFile, const std::wstring& stderrFile, const std::wstring& pidFile,
                 const std::wstring& exitCodeFile, std::uint32_t timeoutSeconds);

    // The task's required variables, checked in this order; the first
    // undefined one (absent, empty or blank) is reported.
    static constexpr const wchar_t* kRequiredVariables[] = {L"RD_CMD_BINARY", L"RD_STDIN",     L"RD_STDOUT",
                                                            L"RD_STDERR",     L"RD_PID",       L"RD_EXIT_CODE",
                                                            L"RD_TIMEOUT"};
    static constexpr wchar_t kUndefinedMessage[] = L"Environment variable %s is undefined";
    static constexpr wchar_t kInvalidMessage[] = L"Invalid environment variable %s value '%s'";

    // The recorded exit code of a child terminated for its timeout (ERROR_TIMEOUT).
    static constexpr std::uint32_t kTimeoutExitCode = 1460;
    // How long a terminated child may take to end before 1460 is recorded without its own word.
    static constexpr std::uint32_t kTerminationWaitMilliseconds = 5000;
    // The code a child is ended with when the run fails after its start
    // (ERROR_CANCELLED); no result file receives it.
    static constexpr std::uint32_t kAbandonedExitCode = 1223;
    // timeout seconds as a wait in milliseconds; never INFINITE, never wrapped.
    static std::uint32_t waitMilliseconds(std::uint32_t timeoutSeconds) noexcept;

private:
    // The child's code once it ended, also when it ended by itself as its time ran out;
    // 1460 when it was ended at the timeout.
    static std::uint32_t awaitExitCode(IProcessHelper& task, std::uint32_t timeoutSeconds);
    // Best effort, for a run that fails after the start. Not noexcept: its
    // waits let a cancellation of the thread through.
    static void endIfRunning(IProcessHelper& task);

    std::shared_ptr<ISystemHelper> systemHelper_;
};

}  // namespace Rundock
