// Synchronisation objects and the waits every blocking operation goes
// through. The waits and the sleep keep their thread cancellable: they are
// alertable, open an asynchronous cancellation point, and resume with the
// time left after any APC that does not cancel.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "runtime/handle.h"

class VSyncObject {
public:
    VSyncObject() = default;
    VSyncObject(const VSyncObject&) = delete;
    VSyncObject& operator=(const VSyncObject&) = delete;
    virtual ~VSyncObject() = default;

    // The last wait's result; WAIT_FAILED raises.
    virtual std::uint32_t waitForSingleObject(std::uint32_t timeout);
    virtual void unlock() = 0;

    static std::uint32_t waitForSingleObject(HANDLE handle, std::uint32_t timeout);
    // Every result is returned, WAIT_FAILED included.
    static std::uint32_t waitForMultipleObjects(std::uint32_t count, const HANDLE* handles, bool waitAll,
                                                std::uint32_t timeout);

    // True when acquired (an abandoned mutex counts), false on a timeout.
    bool lock(std::uint32_t timeout);
    HANDLE handle() const noexcept { return handle_.get(); }

protected:
    RunTime::AutoHandle handle_;
};

// How long a process waits for one named lock that any other process can
// take and keep: each wait at most the bound, and once one has run out,
// later ones only try, so that a lock held for good delays a process once.
// The caller then goes on without the lock.
// boundMs, or the shorter bound that setting (RUNDOCK_LOCK_WAIT_MS, decimal
// milliseconds, which the tests set; read once per process, by the first wait
// that finds its lock taken) names; a longer or malformed one changes nothing.
std::uint32_t shortenedBound(std::uint32_t boundMs, const wchar_t* setting) noexcept;

class LockBudget {
public:
    explicit LockBudget(std::uint32_t boundMs) noexcept : bound_(boundMs) {}
    LockBudget(const LockBudget&) = delete;
    LockBudget& operator=(const LockBudget&) = delete;

    // Calls wait(milliseconds), which tells whether it got the lock: first
    // with 0, so that a free lock costs no more than the try.
    template <class Wait>
    bool wait(Wait&& wait) {
        if (wait(0)) return true;
        if (exhausted_) return false;
        const bool held = wait(left());
        if (!held) exhausted_ = true;
        return held;
    }
    std::uint32_t left() const noexcept;

private:
    std::uint32_t bound_;
    std::atomic<bool> exhausted_{false};
};

// A mutex that every account may wait for and release, and do nothing more
// with: named ones are shared across processes and users. One this process
// creates lets its owner, this account, do no more either (it cannot re-list
// it); a name that another process created first keeps the list that one
// gave it. Opened with just those two rights also when the name exists.
class VMutex : public VSyncObject {
public:
    VMutex(bool initialOwner, const wchar_t* name);
    void unlock() override;
};

// A named mutex held for the span of one task; created or opened as VMutex is.
class ExclusiveTask {
public:
    ExclusiveTask() = default;
    ExclusiveTask(const ExclusiveTask&) = delete;
    ExclusiveTask& operator=(const ExclusiveTask&) = delete;
    ~ExclusiveTask() { release(); }

    // WAIT_OBJECT_0, WAIT_ABANDONED (both: held) or WAIT_TIMEOUT (not held).
    std::uint32_t Initialize(const std::wstring& name, std::uint32_t timeout);
    // Initialize with what budget has left; true when held. A name that
    // cannot be opened is gone on without, as one held elsewhere is.
    bool hold(const std::wstring& name, LockBudget& budget);
    void release() noexcept;

private:
    RunTime::AutoHandle mutex_;
    bool held_ = false;
};

// A critical section of this process, for state any thread may change;
// held through RunTime::CriticalSectionLock.
class VCriticalSection {
public:
    VCriticalSection() { InitializeCriticalSection(&section_); }
    ~VCriticalSection() { DeleteCriticalSection(&section_); }
    VCriticalSection(const VCriticalSection&) = delete;
    VCriticalSection& operator=(const VCriticalSection&) = delete;
    CRITICAL_SECTION& get() noexcept { return section_; }

private:
    CRITICAL_SECTION section_;
};

// Sleeps alertably for the given time; a cancellation ends the thread.
void cancellableSleep(std::uint32_t milliseconds);
