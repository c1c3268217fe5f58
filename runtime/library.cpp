#include "runtime/library.h"

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/paths.h"

namespace RunTime {

FARPROC systemProcedure(const wchar_t* library, const char* name) noexcept {
    HMODULE module = GetModuleHandleW(library);
    if (!module) module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module ? GetProcAddress(module, name) : nullptr;
}

}  // namespace RunTime

RunTime::LibraryPtr::LibraryPtr(const std::wstring& path) {
    reset(LoadLibraryW(VFileName::normalize(path).c_str()));
    if (!valid()) {
        throwLastOsError([&] { return formatString(L"Unable to load library (%s)", path); },
                         "RunTime::LibraryPtr::LibraryPtr", __LINE__);
    }
}

FARPROC VModule::getProcAddress(HMODULE module, const std::string& name) {
    const FARPROC address = GetProcAddress(module, name.c_str());
    if (!address) {
        throwLastOsError([&] { return formatString(L"GetProcAddress(%s)", name); }, "VModule::getProcAddress",
                         __LINE__);
    }
    return address;
}

std::wstring moduleName(HMODULE module) {
    constexpr DWORD kCapacity = MAX_PATH + 1;
    wchar_t buffer[kCapacity];
    const DWORD length = GetModuleFileNameW(module, buffer, kCapacity);
    if (length == 0) throwLastOsError(L"GetModuleFileName", "moduleName", __LINE__);
    if (length >= kCapacity)
        throwOsError(L"GetModuleFileName", ERROR_INSUFFICIENT_BUFFER, raiseSite("moduleName", __LINE__));
    return std::wstring(buffer, length);
}
