// Cooperative cancellation points. Every guarded operation opens a
// synchronous one; the waits open asynchronous ones.
#pragma once

#include <cstdint>

namespace ThreadCancelation {

enum CancelationMode : std::uint32_t { Asynchronous = 0, Synchronous = 1, SynchronousInherited = 2 };

class CancelationPoint {
public:
    explicit CancelationPoint(std::uint32_t mode) : mode_(mode) {}
    CancelationPoint(const CancelationPoint&) = delete;
    CancelationPoint& operator=(const CancelationPoint&) = delete;
    virtual void cancel() { cancelRequested_ = true; }
    virtual ~CancelationPoint() = default;

    std::uint32_t mode() const noexcept { return mode_; }

private:
    // Nothing cancels threads yet; the point only marks the stretch.
    std::uint32_t mode_;
    bool cancelRequested_ = false;
};

}  // namespace ThreadCancelation
