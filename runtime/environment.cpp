#include "runtime/environment.h"

#include <windows.h>

#include <cwchar>

#include "errors/vexception.h"

bool CaseInsensitiveLess::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    return _wcsicmp(a.c_str(), b.c_str()) < 0;
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
        const std::wstring text = entry;
        const std::size_t equals = text.find(L'=');
        std::wstring name = equals == std::wstring::npos ? text : text.substr(0, equals);
        std::wstring value = equals == std::wstring::npos ? std::wstring() : text.substr(equals + 1);
        // operator[] would keep the first spelling too; assigning makes the last value win.
        map[std::move(name)] = std::move(value);
    }
}
