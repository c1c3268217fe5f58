#include "errors/format.h"

#include <windows.h>

#include <climits>

// MinGW's C++ mode routes the wide printf family to its own C99
// implementation, where "%s" is a narrow string. The system's formats follow
// the C runtime's convention ("%s" is wide), so call msvcrt's functions.
extern "C" int __cdecl rd_msvcrt_vscwprintf(const wchar_t*, va_list) __asm__("_vscwprintf");
extern "C" int __cdecl rd_msvcrt_vsnwprintf(wchar_t*, std::size_t, const wchar_t*, va_list)
    __asm__("_vsnwprintf");

const FormatPrimitives& runtimeFormatPrimitives() {
    static const FormatPrimitives primitives{rd_msvcrt_vscwprintf, rd_msvcrt_vsnwprintf};
    return primitives;
}

std::wstring formatStringV(const FormatPrimitives& primitives, const wchar_t* format, va_list args) {
    va_list counting;
    va_copy(counting, args);
    const int count = format ? primitives.count(format, counting) : -1;
    va_end(counting);
    if (count < 0)
        throw ArgumentException(L"_scwprintf() failed: invalid arguments", raiseSite("getFormatStringSize", 602));

    std::wstring result(static_cast<std::size_t>(count), L'\0');
    va_list printing;
    va_copy(printing, args);
    const int written = primitives.print(result.data(), static_cast<std::size_t>(count) + 1, format, printing);
    va_end(printing);
    if (written < 0)
        throw ArgumentException(L"swprintf() failed: invalid arguments", raiseSite("formatString", 624));
    result.resize(static_cast<std::size_t>(written));
    return result;
}

std::wstring formatStringRaw(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        std::wstring result = formatStringV(runtimeFormatPrimitives(), format, args);
        va_end(args);
        return result;
    } catch (...) {
        va_end(args);
        throw;
    }
}

bool widenText(const std::string& text, std::uint32_t codePage, std::wstring& output) {
    output.clear();
    if (text.empty()) return true;
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
    if (size == 0) return false;
    output.resize(static_cast<std::size_t>(size));
    if (MultiByteToWideChar(codePage, 0, text.data(), length, output.data(), size) == 0) {
        output.clear();
        return false;
    }
    return true;
}

std::wstring format_detail::widenAnsi(const std::string& s) {
    std::wstring text;
    widenText(s, CP_ACP, text);
    return text;
}

std::wstring fullMessage(const vexception& e) {
    std::wstring text = e.message();
    for (const ErrorContext& entry : e.chain()) {
        text += L"\n   at ";
        text += entry.text;
        text += L'(';
        text += format_detail::widenAnsi(entry.function);
        text += L" line ";
        text += std::to_wstring(entry.line);
        text += L')';
    }
    return text;
}

std::wstring describeStructuredException(const cwrpexception& e) {
    wchar_t digits[16];
    _snwprintf(digits, 16, L"%lx", static_cast<unsigned long>(e.code()));
    digits[15] = L'\0';
    return std::wstring(L"C structured exception: 0x") + digits;
}
