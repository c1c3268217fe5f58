// The single owner of one Windows handle; shared only through a
// reference-counted pointer.
#pragma once

#include <windows.h>

#include <cstdint>

#include "runtime/owner.h"

namespace RunTime {

struct HandleTraits {
    using Value = HANDLE;
    static HANDLE empty() noexcept { return nullptr; }
    static bool valid(HANDLE handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) noexcept { CloseHandle(handle); }
};

class AutoHandle : public Owner<HandleTraits> {
public:
    using Owner::Owner;

    // Closes the handle now held, then holds a duplicate of source.
    void duplicateHandle(HANDLE source, bool inheritable);
};

// A duplicate of source with the same access, into this process; a failure
// raises "Unable to duplicate handle" with the caller's function and line.
AutoHandle duplicateHandle(HANDLE source, bool inheritable, const char* function, std::int32_t line);

}  // namespace RunTime
