// The two seams of a task run: the system (environment, result files, task
// creation) and one child process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/environment.h"

namespace Rundock {

class IProcessHelper {
public:
    // Releases the handles; does not wait. The default helper's child, still
    // running then, ends with all it started (as when the agent ends).
    virtual ~IProcessHelper() = default;
    virtual void start() = 0;
    virtual std::uint32_t getPid() = 0;
    // True when the child has ended, false when the time ran out.
    virtual bool waitForExit(std::uint32_t milliseconds) = 0;
    virtual std::uint32_t getExitCode() = 0;
    virtual void terminate(std::uint32_t exitCode) = 0;
};

class ISystemHelper {
public:
    virtual ~ISystemHelper() = default;
    virtual EnvironmentMap getEnv() = 0;
    virtual void writeFile(const std::wstring& path, const std::string& content) = 0;
    // Configured, not started.
    virtual std::shared_ptr<IProcessHelper> createTask(const std::wstring& program, const std::wstring& arguments,
                                                       const std::wstring& stdinFile, const std::wstring& stdoutFile,
                                                       const std::wstring& stderrFile) = 0;
};

}  // namespace Rundock
