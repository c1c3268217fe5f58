// Whether the tests run under Wine, which lacks some of what Windows does (links, file DACLs, job limits...):
// tests of such behaviour skip there, saying why.
#pragma once

#include <windows.h>

namespace test_support {

inline bool runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

}  // namespace test_support
