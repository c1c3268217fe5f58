// The texts every logged failure is made of: the system's text or "Unknown
// error", the code and the operation, then one line per context entry.
#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/com.h"
#include "tests/support/system_text.h"

using test_support::systemText;

namespace {
struct BareException : vexception {
    BareException() : vexception(L"only the message", NoContext{}) {}
};
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
    // Wide strings through the C runtime's convention, of any length.
    const std::wstring longText(100000, L'x');
    EXPECT_EQ(formatString(L"%d|%lu|%s|<%s>", -5, 4294967295u, std::wstring(L"\U0001F600 \u00e9"), longText),
              L"-5|4294967295|\U0001F600 \u00e9|<" + longText + L">");
}

TEST(ErrorTexts, ComErrorsGiveTheSystemsTextTheDispatchNumberOrTheCodeWithTheDescription) {
    // Unknown to Wine and Windows alike; the guard tests rely on the first.
    ASSERT_TRUE(systemText(0x80040205).empty() && systemText(0x80040200).empty());
    EXPECT_EQ(comErrorMessage(_com_error(static_cast<HRESULT>(0x80040205))), L"IDispatch error #5");
    EXPECT_EQ(comErrorMessage(_com_error(static_cast<HRESULT>(0x80040200))), L"Unknown error 0x80040200");

    ICreateErrorInfo* created = nullptr;
    IErrorInfo* info = nullptr;
    ASSERT_EQ(CreateErrorInfo(&created), S_OK);
    created->SetDescription(const_cast<wchar_t*>(L"the sender refused"));
    ASSERT_EQ(created->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), S_OK);
    created->Release();
    EXPECT_EQ(fromComError(_com_error(E_ACCESSDENIED, info, true), L"call()", "f", 1).message(),
              systemText(static_cast<DWORD>(E_ACCESSDENIED)) +
                  L" (COM Error 80070005, Description: the sender refused)\n   at call()");
    info->AddRef();
    EXPECT_EQ(info->Release(), 1u) << "a reference taken was not given back";
    info->Release();
}
