#include "errors/format.h"

#include <windows.h>
#include <comdef.h>

#include <vector>

#include "runtime/com.h"

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

std::wstring fullMessage(const vexception& e) {
    std::wstring text = e.message();
    for (const ErrorContext& entry : e.chain()) {
        text += L"\n   at ";
        text += entry.text;
        text += L'(';
        text += wstr(entry.function, CP_ACP);
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

std::wstring comErrorMessage(const _com_error& e) {
    const HRESULT hr = e.Error();
    std::wstring text = systemMessage(static_cast<std::uint32_t>(hr));
    if (!text.empty()) {
        if (text.size() >= 2 && text.back() == L'\n') {
            text.pop_back();
            if (text.back() == L'\r') text.pop_back();
        }
        return text;
    }
    wchar_t fallback[32];
    const auto value = static_cast<unsigned long>(hr);
    if (value >= 0x80040201UL && value <= 0x8004FFFFUL)
        _snwprintf(fallback, 32, L"IDispatch error #%d", static_cast<int>(value - 0x80040200UL));
    else
        _snwprintf(fallback, 32, L"Unknown error 0x%0lX", value);
    fallback[31] = L'\0';
    return fallback;
}

// The managed exception interface of COM interop errors; only ToString is
// used. It must not sit in an anonymous namespace: GCC would then see no
// implementation of it anywhere and treat every call through it as unreachable.
namespace comsupport {
const IID IID_ManagedException = {0xB36B5C63, 0x42EF, 0x38BC, {0xA0, 0x7E, 0x0B, 0x34, 0xC9, 0x8F, 0x16, 0x4A}};
struct ManagedException : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) = 0;
};
}  // namespace comsupport

namespace {
using comsupport::IID_ManagedException;
using comsupport::ManagedException;
using RunTime::Bstr;
using RunTime::ComPtr;
}  // namespace

vexception fromComError(const _com_error& e, const std::wstring& callText, const char* function,
                        std::int32_t line) {
    const HRESULT hr = e.Error();
    ComPtr<IErrorInfo> info(e.ErrorInfo());
    ComPtr<ManagedException> managed;
    bool interop = false;
    if (info) {
        // A failing question makes it a plain COM error: raising it here, in
        // the guard's catch, would let a _com_error escape the guard.
        interop = SUCCEEDED(info->QueryInterface(IID_ManagedException, managed.putVoid()));
        if (!interop) managed.reset();
    }

    wchar_t code[48];
    _snwprintf(code, 48, interop ? L" (COM Interop Error %08lX" : L" (COM Error %08lX", static_cast<unsigned long>(hr));
    code[47] = L'\0';
    std::wstring message = comErrorMessage(e) + code;

    if (info) {
        Bstr description;
        info->GetDescription(description.put());
        if (!description.text().empty()) {
            message += L", Description: ";
            if (interop) {
                Bstr managedText;
                managed->get_ToString(managedText.put());
                message += managedText.text();
            } else {
                message += description.text();
            }
        }
    }
    message += L")\n   at ";
    message += callText;
    return vexception(message, ErrorContext{std::wstring(), function, line});
}
