// The one shape of every resource owner: move-only, with an explicit empty
// value, closing what it holds when reset or destroyed. A reset keeps the
// caller's last error, so that a close after a failed call does not hide it.
// Each resource kind supplies a traits class: its type, its empty value and
// how to close it.
#pragma once

#include <windows.h>

#include <utility>

namespace RunTime {

template <class Traits>
class Owner {
public:
    using Value = typename Traits::Value;

    Owner() noexcept = default;
    explicit Owner(Value value) noexcept : value_(value) {}
    Owner(Owner&& other) noexcept : value_(std::exchange(other.value_, Traits::empty())) {}
    Owner& operator=(Owner&& other) noexcept {
        if (this != &other) reset(std::exchange(other.value_, Traits::empty()));
        return *this;
    }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
    ~Owner() { reset(); }

    Value get() const noexcept { return value_; }
    bool valid() const noexcept { return Traits::valid(value_); }
    Value release() noexcept { return std::exchange(value_, Traits::empty()); }
    void reset(Value value = Traits::empty()) noexcept {
        if (Traits::valid(value_) && value_ != value) {
            const DWORD error = GetLastError();
            Traits::close(value_);
            SetLastError(error);
        }
        value_ = value;
    }
    void close() noexcept { reset(); }
    Value* put() noexcept {
        reset();
        return &value_;
    }

private:
    Value value_ = Traits::empty();
};

}  // namespace RunTime
