// Loaded libraries and their exports; exports of system DLLs resolved on
// first use.
//
// Under Wine, a static import of any DLL that pulls in user32 (shell32,
// shlwapi, oleaut32, ole32 …) costs the process about 9 ms of start-up,
// nearly the whole start of a bare program. Functions the task run does not
// need are therefore bound here, when first called.
#pragma once

#include <windows.h>

#include <string>

#include "runtime/owner.h"

namespace RunTime {

// The export, or null (with the last error set) when the DLL or the export
// is missing. The DLL is loaded from the system directory and stays loaded
// for the life of the process.
FARPROC systemProcedure(const wchar_t* library, const char* name) noexcept;

template <class Function>
Function* systemFunction(const wchar_t* library, const char* name) noexcept {
    return reinterpret_cast<Function*>(reinterpret_cast<void*>(systemProcedure(library, name)));
}

}  // namespace RunTime

namespace RunTime {

struct LibraryTraits {
    using Value = HMODULE;
    static HMODULE empty() noexcept { return nullptr; }
    static bool valid(HMODULE module) noexcept { return module != nullptr; }
    static void close(HMODULE module) noexcept { FreeLibrary(module); }
};

// The single owner of one loaded library.
class LibraryPtr : public Owner<LibraryTraits> {
public:
    LibraryPtr() noexcept = default;
    // Loads path after normalising it; a failure throws (throwOsError).
    explicit LibraryPtr(const std::wstring& path);
};

}  // namespace RunTime

namespace VModule {
// The export, never null: a missing one throws (throwOsError).
FARPROC getProcAddress(HMODULE module, const std::string& name);
}  // namespace VModule

// The full path of module (null: the main executable). A path longer than
// 260 characters is refused (ERROR_INSUFFICIENT_BUFFER), never cut short.
std::wstring moduleName(HMODULE module);
