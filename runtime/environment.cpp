#include "runtime/environment.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string_view>

#include "errors/vexception.h"

// The system matches variable names by ordinal comparison without case; so
// does the map (CompareStringOrdinal costs a plain run hundreds of calls fewer
// than the C runtime's locale-aware _wcsicmp).
bool CaseInsensitiveLess::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_LESS_THAN;
}

void VEnvironmentVariables::load(EnvironmentMap& map) {
    wchar_t* block = GetEnvironmentStringsW();
    if (!block) throw vexception(L"GetEnvironmentStrings failed", raiseSite("VEnvironmentVariables::load", 10));
    try {
        load(map, block);
    } catch (...) {
        FreeEnvironmentStringsW(block);
        throw;
    }
    FreeEnvironmentStringsW(block);
}

void VEnvironmentVariables::load(EnvironmentMap& map, const wchar_t* block) {
    if (!block) throw vexception(L"Parameter is null", raiseSite("VEnvironmentVariables::load", 21));
    for (const wchar_t* entry = block; *entry; entry += std::wcslen(entry) + 1) {
        const std::wstring_view text(entry);
        const std::size_t equals = std::min(text.find(L'='), text.size());
        std::wstring name(text.substr(0, equals));
        std::wstring value(equals < text.size() ? text.substr(equals + 1) : std::wstring_view());
        // operator[] would keep the first spelling too; assigning makes the last value win.
        map[std::move(name)] = std::move(value);
    }
}
