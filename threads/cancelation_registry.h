// The process's cancellation bookkeeping, shared by every module through the
// execute context. Internal to the runtime.
#pragma once

#include <windows.h>

namespace ThreadCancelation {

struct CancelationRegistry {
    CancelationRegistry();
    ~CancelationRegistry();
    CancelationRegistry(const CancelationRegistry&) = delete;
    CancelationRegistry& operator=(const CancelationRegistry&) = delete;

    DWORD slot = TLS_OUT_OF_INDEXES;        // per thread: the innermost point
    DWORD unwindSlot = TLS_OUT_OF_INDEXES;  // per thread: the running cancellation, if any
    CRITICAL_SECTION guard;                 // requests against closing, and the start of a cancellation
    // Only a cancel-all facility would need the map of threads, and nothing
    // here offers one; the switch stays off and no map is kept.
    bool trackThreads = false;
};

// Created on the first call in the process, one module at a time.
CancelationRegistry& registry();

}  // namespace ThreadCancelation
