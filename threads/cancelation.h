// Cooperative cancellation of threads. Code marks the stretches in which its
// thread may be cancelled by opening a point on the stack; the points of one
// thread form a chain, innermost first. An asynchronous point (every wait and
// sleep opens one) is interrupted at once through a user APC; a synchronous
// point (every guarded operation opens one) keeps the request until it
// closes. Either way the thread announces its number through the notice the
// log installs, unwinds every frame with all destructors and ends with exit
// code 0.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "runtime/handle.h"

namespace ThreadCancelation {

enum CancelationMode : std::uint32_t { Asynchronous = 0, Synchronous = 1, SynchronousInherited = 2 };

class CancelationPoint {
public:
    explicit CancelationPoint(std::uint32_t mode);
    CancelationPoint(const CancelationPoint&) = delete;
    CancelationPoint& operator=(const CancelationPoint&) = delete;

    // Callable from any thread.
    virtual void cancel();
    // Both end the thread when a cancellation was requested, so neither is
    // noexcept; closing twice does nothing.
    virtual ~CancelationPoint() noexcept(false) { close(); }
    void close() noexcept(false);

    std::uint32_t mode() const noexcept { return mode_; }
    CancelationPoint* previous() const noexcept { return previous_; }
    bool ownsThreadHandle() const noexcept { return threadHandle_ != nullptr; }

private:
    friend void cancelThreadOf(CancelationPoint& point);
    static void CALLBACK cancelByApc(ULONG_PTR point);

    CancelationPoint* previous_ = nullptr;
    std::uint32_t mode_ = Synchronous;
    std::atomic<bool> cancelRequested_{false};
    bool canceling_ = false;
    bool closed_ = false;
    std::unique_ptr<RunTime::AutoHandle> threadHandle_;
};

// The calling thread's innermost open point, or null.
CancelationPoint* innermost() noexcept;

// True while the calling thread is being unwound by its cancellation and,
// inside a catch (...), what was caught is that cancellation (not an error
// of a clean-up running on the way). Code that catches everything must
// rethrow then, so that the thread still ends.
bool isCanceling() noexcept;

// Told the thread's number just before a cancelled thread unwinds. The log
// sits above this layer and installs the notice that records it
// (log/logmanager.cpp); nothing here logs. Null: nobody is told.
using CancelationNotice = void (*)(std::uint32_t threadId);
void setCancelationNotice(CancelationNotice notice) noexcept;

}  // namespace ThreadCancelation
