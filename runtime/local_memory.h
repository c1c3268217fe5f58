// The owner of one block from LocalAlloc (or of a buffer the system hands
// out to be freed with LocalFree).
#pragma once

#include <windows.h>

#include <utility>

namespace RunTime {

template <class T = void>
class LocalMemory {
public:
    LocalMemory() noexcept = default;
    explicit LocalMemory(T* memory) noexcept : memory_(memory) {}
    LocalMemory(LocalMemory&& other) noexcept : memory_(std::exchange(other.memory_, nullptr)) {}
    LocalMemory& operator=(LocalMemory&& other) noexcept {
        if (this != &other) reset(std::exchange(other.memory_, nullptr));
        return *this;
    }
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    ~LocalMemory() { reset(); }

    T* get() const noexcept { return memory_; }
    T* release() noexcept { return std::exchange(memory_, nullptr); }
    // Keeps the caller's last error, like every owner here.
    void reset(T* memory = nullptr) noexcept {
        if (memory_) {
            const DWORD error = GetLastError();
            LocalFree(memory_);
            SetLastError(error);
        }
        memory_ = memory;
    }
    T** put() noexcept {
        reset();
        return &memory_;
    }

private:
    T* memory_ = nullptr;
};

}  // namespace RunTime
