// Holds a critical section for the length of a scope.
#pragma once

#include <windows.h>

namespace RunTime {

class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CRITICAL_SECTION& section) noexcept : section_(section) {
        EnterCriticalSection(&section_);
    }
    // Without wait only when no other thread holds it: see held().
    CriticalSectionLock(CRITICAL_SECTION& section, bool wait) noexcept
        : section_(section), held_(wait ? (EnterCriticalSection(&section_), true) : TryEnterCriticalSection(&section_)) {}
    ~CriticalSectionLock() {
        if (held_) LeaveCriticalSection(&section_);
    }
    bool held() const noexcept { return held_; }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& section_;
    bool held_ = true;
};

}  // namespace RunTime
