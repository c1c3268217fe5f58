// The owner of one block from LocalAlloc (or of a buffer the system hands
// out to be freed with LocalFree).
#pragma once

#include <windows.h>

#include "runtime/owner.h"

namespace RunTime {

template <class T>
struct LocalMemoryTraits {
    using Value = T*;
    static T* empty() noexcept { return nullptr; }
    static bool valid(T* memory) noexcept { return memory != nullptr; }
    static void close(T* memory) noexcept { LocalFree(memory); }
};

template <class T = void>
using LocalMemory = Owner<LocalMemoryTraits<T>>;

}  // namespace RunTime
