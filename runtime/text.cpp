#include "runtime/text.h"

#include <windows.h>

#include <climits>
#include <cwctype>

#include "errors/format.h"
#include "errors/vexception.h"

std::string cstr(const std::wstring& text, std::uint32_t codePage) {
    if (text.empty()) return std::string();
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        throwOsError(L"Maps a wide-character (Unicode) string to a character stringz",
                     ERROR_INVALID_PARAMETER, raiseSite("cstr", 32));
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(codePage, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (size == 0)
        throwLastOsError(L"Maps a wide-character (Unicode) string to a character stringz", "cstr", 36);
    std::string result(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(codePage, 0, text.data(), length, result.data(), size, nullptr, nullptr) == 0)
        throwLastOsError(L"Maps a wide-character (Unicode) string to a character stringz", "cstr", 40);
    return result;
}

std::wstring wstr(const std::string& text, std::uint32_t codePage) {
    if (text.empty()) return std::wstring();
    if (text.size() > static_cast<std::size_t>(INT_MAX))
        throwOsError(L"Maps a character string to a wide-character (Unicode) string failed",
                     ERROR_INVALID_PARAMETER, raiseSite("wstr", 48));
    std::wstring result;
    if (!widenText(text, codePage, result))
        throwLastOsError(L"Maps a character string to a wide-character (Unicode) string failed", "wstr", 52);
    return result;
}

std::wstring trimRightSpace(const std::wstring& text) {
    std::size_t end = text.size();
    while (end > 0 && std::iswspace(text[end - 1])) --end;
    return text.substr(0, end);
}

std::wstring toDecimal(std::uint32_t value) {
    wchar_t buffer[16];
    _ultow(value, buffer, 10);
    return buffer;
}
