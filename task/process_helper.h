// The production process helper: one launcher, configured from the task.
#pragma once

#include "exec/job.h"
#include "exec/launcher.h"
#include "task/helpers.h"

namespace Rundock {

class DefaultProcessHelper : public IProcessHelper {
public:
    DefaultProcessHelper(const std::wstring& program, const std::wstring& arguments, const std::wstring& stdinFile,
                         const std::wstring& stdoutFile, const std::wstring& stderrFile);

    void start() override;
    std::uint32_t getPid() override { return launcher_.processId(); }
    bool waitForExit(std::uint32_t milliseconds) override;
    std::uint32_t getExitCode() override;
    void terminate(std::uint32_t exitCode) override;

    const vexecutil& launcher() const noexcept { return launcher_; }

protected:
    // Lets the suspended child run once it is in its job.
    virtual void resumeChild() { launcher_.resume(); }

private:
    // Lets what a child that ended by itself started live on after the job closes.
    void keepBackgroundProcesses();

    vexecutil launcher_;
    // The child and all it starts, which end when it closes unless the
    // child ended by itself; empty when the system refused the job, and
    // then a termination ends the child alone.
    VJob job_;
    bool jobEnded_ = false;   // by terminate
    bool jobKept_ = false;    // its processes outlive it
    std::wstring maskedArguments_;
    bool resultLogged_ = false;  // the one "Execute ... finished/timeout expired" line
};

}  // namespace Rundock
