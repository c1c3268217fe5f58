// Exports of system DLLs resolved on first use.
//
// Under Wine, a static import of any DLL that pulls in user32 (shell32,
// shlwapi, oleaut32, ole32 …) costs the process about 9 ms of start-up,
// nearly the whole start of a bare program. Functions the task run does not
// need are therefore bound here, when first called.
#pragma once

#include <windows.h>

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
