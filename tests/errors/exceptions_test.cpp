// The texts of the exception family, formatting failures and COM errors: what
// the log file and the error report show.
#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <cstdarg>

#include "errors/format.h"
#include "errors/vexception.h"
#include "tests/support/system_text.h"

namespace {

using test_support::systemText;

struct BareException : vexception {
    BareException() : vexception(L"only the message", NoContext{}) {}
};

int failingCount(const wchar_t*, va_list) { return -1; }
int countThree(const wchar_t*, va_list) { return 3; }
int failingPrint(wchar_t*, std::size_t, const wchar_t*, va_list) { return -1; }

// The rendered ArgumentException that formatting with primitives raises.
std::wstring formatFailure(const FormatPrimitives& primitives, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring failure = L"(no failure)";
    try {
        formatStringV(primitives, format, args);
    } catch (const ArgumentException& e) {
        failure = fullMessage(e);
    }
    va_end(args);
    return failure;
}

// The managed exception of an interop error: IDispatch's seven slots, then ToString's getter.
struct ManagedException : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) = 0;
};

// An error-information object that may also be the managed exception;
// refusal is what a question for any other interface answers.
class FakeErrorInfo : public IErrorInfo, public ManagedException {
public:
    FakeErrorInfo(std::wstring description, std::wstring managedText, bool managed, HRESULT refusal = E_NOINTERFACE)
        : description_(std::move(description)), managedText_(std::move(managedText)), managed_(managed),
          refusal_(refusal) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        static const IID managedIid = {0xB36B5C63, 0x42EF, 0x38BC, {0xA0, 0x7E, 0x0B, 0x34, 0xC9, 0x8F, 0x16, 0x4A}};
        *out = iid == IID_IUnknown || iid == IID_IErrorInfo ? static_cast<void*>(static_cast<IErrorInfo*>(this))
               : managed_ && iid == managedIid             ? static_cast<ManagedException*>(this)
                                                           : nullptr;
        if (!*out) return refusal_;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* text) override {
        *text = description_.empty() ? nullptr : SysAllocString(description_.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) override {
        *text = SysAllocString(managedText_.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetGUID(GUID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    ULONG references() const { return references_; }

private:
    std::wstring description_, managedText_;
    bool managed_;
    HRESULT refusal_;
    ULONG references_ = 1;
};

std::wstring comMessage(HRESULT code, FakeErrorInfo& info) {
    return fromComError(_com_error(code, &info, true), L"call()", "f", 1).message();
}

}  // namespace

TEST(ErrorTexts, SystemTextCodeAndOperationThenOneLinePerEntryAndFaultsInBareHex) {
    ASSERT_FALSE(systemText(2).empty());
    EXPECT_EQ(vosexception(2, L"CreateFile", raiseSite("f", 1)).message(),
              systemText(2) + L" (Error code 2) at CreateFile");
    EXPECT_EQ(vosexception(5, static_cast<const wchar_t*>(nullptr), raiseSite("f", 1)).message(),
              systemText(5) + L" (Error code 5)");
    const DWORD code = 0x2000ABCD;  // customer bit set: the system has no text for it
    ASSERT_TRUE(systemText(code).empty());
    EXPECT_EQ(vosexception(code, L"GetModuleFileName", raiseSite("f", 1)).message(),
              L"Unknown error (Error code 536914893) at GetModuleFileName");
    EXPECT_EQ(fullMessage(vexception(L"m", raiseSite("f", -3))), L"m\n   at (f line -3)");
    EXPECT_EQ(fullMessage(BareException()), L"only the message");
    EXPECT_EQ(describeStructuredException(cwrpexception(0x1F)), L"C structured exception: 0x1f");
}

TEST(Formatting, ArgumentsOfEveryKindOrArgumentExceptionWhenAPrimitiveFails) {
    const std::wstring longText(100000, L'x');
    EXPECT_EQ(formatString(L"%d|%lu|%s|<%s>", -5, 4294967295u, std::wstring(L"\U0001F600 \u00e9"), longText),
              L"-5|4294967295|\U0001F600 \u00e9|<" + longText + L">");
    const std::wstring countFailure = L"_scwprintf() failed: invalid arguments\n   at (getFormatStringSize line 602)";
    EXPECT_EQ(formatFailure(runtimeFormatPrimitives(), nullptr), countFailure);
    EXPECT_EQ(formatFailure({failingCount, failingPrint}, L"%s", L"x"), countFailure);
    EXPECT_EQ(formatFailure({countThree, failingPrint}, L"%s", L"abc"),
              L"swprintf() failed: invalid arguments\n   at (formatString line 624)");
}

TEST(ComErrors, TextIsTheSystemsTheDispatchNumberOrTheCodeWithTheErrorInfosDescription) {
    // Unknown to Wine and Windows alike; the guard tests rely on the first.
    ASSERT_TRUE(systemText(0x80040205).empty() && systemText(0x80040200).empty());
    EXPECT_EQ(comErrorMessage(_com_error(static_cast<HRESULT>(0x80040205))), L"IDispatch error #5");
    EXPECT_EQ(comErrorMessage(_com_error(static_cast<HRESULT>(0x80040200))), L"Unknown error 0x80040200");

    FakeErrorInfo plain(L"the sender refused", L"", false);
    EXPECT_EQ(comMessage(E_ACCESSDENIED, plain), systemText(static_cast<DWORD>(E_ACCESSDENIED)) +
                                                     L" (COM Error 80070005, Description: the sender refused)\n   at call()");
    // An error information that fails the question is read as a plain one.
    FakeErrorInfo failing(L"the sender refused", L"", false, E_UNEXPECTED);
    EXPECT_EQ(comMessage(E_ACCESSDENIED, failing), comMessage(E_ACCESSDENIED, plain));

    // Only the tail: the system's text for the interop code differs between Wine and Windows.
    const auto tail = [](const std::wstring& message) { return message.substr(message.rfind(L" (COM Interop")); };
    const HRESULT interop = static_cast<HRESULT>(0x80131509);
    FakeErrorInfo managed(L"short", L"System.InvalidOperationException: long form", true);
    EXPECT_EQ(tail(comMessage(interop, managed)),
              L" (COM Interop Error 80131509, Description: System.InvalidOperationException: long form)\n   at call()");
    FakeErrorInfo silent(L"", L"unused", true);  // without a description the managed text is not asked for
    EXPECT_EQ(tail(comMessage(interop, silent)), L" (COM Interop Error 80131509)\n   at call()");
    for (const FakeErrorInfo* info : {&plain, &failing, &managed, &silent})
        EXPECT_EQ(info->references(), 1u) << "a reference taken was not given back";
}
