// The single owner of one Windows handle; shared only through a
// reference-counted pointer.
#pragma once

#include <windows.h>

#include <utility>

namespace RunTime {

class AutoHandle {
public:
    AutoHandle() noexcept = default;
    explicit AutoHandle(HANDLE handle) noexcept : handle_(handle) {}
    AutoHandle(AutoHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    AutoHandle& operator=(AutoHandle&& other) noexcept {
        if (this != &other) reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    AutoHandle(const AutoHandle&) = delete;
    AutoHandle& operator=(const AutoHandle&) = delete;
    ~AutoHandle() { close(); }

    HANDLE get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() noexcept { return std::exchange(handle_, nullptr); }
    // Keeps the caller's last error: a close after a failed call must not hide it.
    void reset(HANDLE handle = nullptr) noexcept {
        if (valid()) {
            const DWORD error = GetLastError();
            CloseHandle(handle_);
            SetLastError(error);
        }
        handle_ = handle;
    }
    void close() noexcept { reset(); }
    HANDLE* put() noexcept {
        reset();
        return &handle_;
    }

    // Closes the handle now held, then holds a duplicate of source.
    void duplicateHandle(HANDLE source, bool inheritable);

private:
    HANDLE handle_ = nullptr;
};

}  // namespace RunTime
