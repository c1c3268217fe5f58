// A job object that holds a child and every process the child starts, so
// that a run can end them together, and so that they end with this process
// unless it lets them live on.
#pragma once

#include <windows.h>

#include <cstdint>

#include "runtime/handle.h"

class VJob {
public:
    VJob() = default;  // empty: holds nothing
    VJob(VJob&&) noexcept = default;
    VJob& operator=(VJob&&) noexcept = default;

    // A new unnamed job holding process, with the kill-on-close limit: when
    // its last handle closes (this process ends, however), every process in
    // it ends. Raises the OS error of the call that failed (nested jobs are
    // refused on older systems).
    static VJob contain(HANDLE process);
    // Whether a child must leave the job this process runs in to get one of
    // its own: that job refuses nesting (it sets UI limits) but allows
    // breakaway. Never where breakaway is not allowed: that start would fail.
    static bool childMustBreakAway();

    bool valid() const noexcept { return handle_.valid(); }
    // Ends every process in the job with exitCode; does not wait.
    void terminate(std::uint32_t exitCode);
    // Lifts the kill-on-close limit: closing the job then leaves its
    // processes running.
    void keepProcessesOnClose();

private:
    RunTime::AutoHandle handle_;
};
