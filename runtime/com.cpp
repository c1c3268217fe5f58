#include "runtime/com.h"

#include <comdef.h>

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
