#include "runtime/library.h"

namespace RunTime {

FARPROC systemProcedure(const wchar_t* library, const char* name) noexcept {
    HMODULE module = GetModuleHandleW(library);
    if (!module) module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module ? GetProcAddress(module, name) : nullptr;
}

}  // namespace RunTime
