// What the tests run on: Windows itself, or Wine, which leaves out links, file lists, job limits and heap checks.
#pragma once

#include <windows.h>

#include "runtime/registry.h"

namespace test_support {

// Wine's ntdll exports its version; Windows' has no such export.
inline bool runningUnderWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// The build of the Windows we run on as ntdll reports it, whatever our manifest says.
inline DWORD windowsBuild() {
    OSVERSIONINFOW info{sizeof(info)};
    using Get = LONG(WINAPI*)(OSVERSIONINFOW*);
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
    const auto get = reinterpret_cast<Get>(reinterpret_cast<void (*)()>(found));
    return get && get(&info) == 0 ? info.dwBuildNumber : 0;
}

// Whether the machine lets long-path-aware programs (ours, by their manifest) use paths past MAX_PATH.
inline bool longPathsSwitchedOn() {
    DWORD on = 0;
    registry::lookup(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem", L"LongPathsEnabled", on,
                     registry::View::Native);
    return on != 0;
}

}  // namespace test_support
