// What the tests run on: Windows itself, or Wine, which leaves out links, file lists, job limits and heap checks.
#pragma once

#include <windows.h>

namespace test_support {

// Wine's ntdll exports its version; Windows' has no such export.
inline bool runningUnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

}  // namespace test_support
