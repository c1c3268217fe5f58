// The exception family, error rendering, formatting and COM error texts.
#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <functional>
#include <typeinfo>
#include <vector>

#include "errors/format.h"
#include "errors/vexception.h"
#include "tests/support/system_text.h"

namespace {

using test_support::systemText;

template <class Expected>
void expectThrownType(std::uint32_t code) {
    SCOPED_TRACE(testing::Message() << "code " << code);
    try {
        throwOsError(L"CreateFile", code, raiseSite("place", 7));
        FAIL() << "throwOsError returned";
    } catch (const Expected& e) {
        EXPECT_EQ(typeid(e), typeid(Expected));
        EXPECT_EQ(e.code(), code);
    } catch (...) {
        FAIL() << "wrong class";
    }
}

}  // namespace

TEST(OsErrors, EachTableCodeThrowsItsOwnClass) {
    expectThrownType<VFileNotFoundException>(2);
    expectThrownType<VPathNotFoundException>(3);
    expectThrownType<VAccessDeniedException>(5);
    expectThrownType<VInvalidHandleException>(6);
    expectThrownType<VOutOfMemoryException>(14);
    expectThrownType<VInvalidDriveException>(15);
    expectThrownType<VNotDosDiskException>(26);
    expectThrownType<VSharingViolationException>(32);
    expectThrownType<VLockViolationException>(33);
    expectThrownType<VWrongDiskException>(34);
    expectThrownType<VSharingBufferExceededException>(36);
    expectThrownType<VEOFException>(38);
    expectThrownType<VFileExistsException>(80);
    expectThrownType<VInsufficientBufferException>(122);
    expectThrownType<VInvalidNameException>(123);
    expectThrownType<VDirectoryNotEmptyException>(145);
    expectThrownType<VInvalidPathException>(161);
    expectThrownType<VAlreadyExistsException>(183);
    expectThrownType<VPipeClosedException>(232);
    expectThrownType<VInvalidDirectoryNameException>(267);
    expectThrownType<VServiceDoesNotExistException>(1060);
    expectThrownType<VServiceMarkedForDeleteException>(1072);
    expectThrownType<VServiceAlreadyExistsException>(1073);
    expectThrownType<VNoneMappedException>(1332);
    expectThrownType<VNoSuchMemberException>(1387);
    expectThrownType<VTrustedRelationshipFailureException>(1789);
    expectThrownType<VPasswordTooShortException>(2245);
    // Neighbours and zero are plain.
    expectThrownType<vosexception>(0);
    expectThrownType<vosexception>(1074);
    expectThrownType<vosexception>(4);
}

TEST(OsErrors, SpecificClassesAreCaughtAsTheirBasesButNotAsEachOther) {
    EXPECT_THROW(throwOsError(L"x", 2, raiseSite("p", 1)), vosexception);
    EXPECT_THROW(throwOsError(L"x", 2, raiseSite("p", 1)), vexception);
    bool caughtAsPathNotFound = false;
    try {
        try {
            throwOsError(L"x", 2, raiseSite("p", 1));
        } catch (const VPathNotFoundException&) {
            caughtAsPathNotFound = true;
        }
    } catch (const VFileNotFoundException&) {
    }
    EXPECT_FALSE(caughtAsPathNotFound);
}

TEST(OsErrors, MessageIsSystemTextCodeAndOperation) {
    const std::wstring text = systemText(2);
    ASSERT_FALSE(text.empty());
    const vosexception withOperation(2, L"CreateFile", raiseSite("openFile", 12));
    EXPECT_EQ(withOperation.message(), text + L" (Error code 2) at CreateFile");
    EXPECT_EQ(withOperation.message().find_first_of(L"\r\n"), std::wstring::npos);

    const vosexception withoutOperation(5, static_cast<const wchar_t*>(nullptr), raiseSite("openFile", 12));
    EXPECT_EQ(withoutOperation.message(), systemText(5) + L" (Error code 5)");

    ASSERT_EQ(withOperation.chain().size(), 1u);
    EXPECT_EQ(withOperation.chain().front().text, L"");
    EXPECT_EQ(withOperation.chain().front().function, "openFile");
    EXPECT_EQ(withOperation.chain().front().line, 12);
}

TEST(OsErrors, CodeWithoutSystemTextReadsUnknownError) {
    const DWORD code = 0x2000ABCD;  // customer bit set: the system has no text for it
    ASSERT_TRUE(systemText(code).empty());
    EXPECT_EQ(vosexception(code, L"GetModuleFileName", raiseSite("moduleName", 131)).message(),
              L"Unknown error (Error code 536914893) at GetModuleFileName");
}

TEST(ErrorChain, CopyIsDeepAndIndependent) {
    vexception original(L"boom", raiseSite("inner", 1));
    original.addContext({L"middle()", "Middle", 2});
    original.addContext({L"outer()", "Outer", 3});
    vexception copy(original);
    ASSERT_EQ(fullMessage(copy), fullMessage(original));
    copy.addContext({L"more()", "More", 4});
    EXPECT_EQ(original.chain().size(), 3u);
    EXPECT_EQ(copy.chain().size(), 4u);
    EXPECT_EQ(copy.chain().back().function, "More");

    // Copying through the base keeps the derived data when thrown by value.
    VAccessDeniedException denied(5, L"CreateFile", raiseSite("p", 9));
    VAccessDeniedException deniedCopy(denied);
    EXPECT_EQ(deniedCopy.code(), 5u);
    EXPECT_EQ(deniedCopy.message(), denied.message());
}

TEST(ErrorChain, FullMessageRendersEveryEntryOnItsOwnLine) {
    vexception e(L"Access is denied. (Error code 5) at GetModuleFileName", raiseSite("moduleName", 131));
    e.addContext({L"writeFile(C:\\data\\pid, 4711)", "Rundock::DefaultSystemHelper::writeFile", 40});
    EXPECT_EQ(fullMessage(e),
              L"Access is denied. (Error code 5) at GetModuleFileName\n"
              L"   at (moduleName line 131)\n"
              L"   at writeFile(C:\\data\\pid, 4711)(Rundock::DefaultSystemHelper::writeFile line 40)");

    vexception negative(L"m", raiseSite("f", -3));
    EXPECT_EQ(fullMessage(negative), L"m\n   at (f line -3)");
}

namespace {
struct BareException : vexception {
    BareException() : vexception(L"only the message", NoContext{}) {}
};
}  // namespace

TEST(ErrorChain, ExceptionWithoutEntriesRendersAsItsMessage) {
    EXPECT_EQ(fullMessage(BareException()), L"only the message");
}

TEST(Formatting, WideStringsIntegersAndNarrowArguments) {
    EXPECT_EQ(formatString(L"writeFile(%s, %s)", std::wstring(L"C:\\pid"), L"4711"), L"writeFile(C:\\pid, 4711)");
    EXPECT_EQ(formatString(L"%d|%lu|%d", -5, 4294967295u, 0), L"-5|4294967295|0");
    EXPECT_EQ(formatString(L"[%s]", std::string("narrow")), L"[narrow]");
    EXPECT_EQ(formatString(L"%s", std::wstring(L"\U0001F600 \u00e9")), L"\U0001F600 \u00e9");
    EXPECT_EQ(formatString(L"no conversions"), L"no conversions");
    EXPECT_EQ(formatString(L"%s", std::wstring()), L"");
    const std::wstring longText(100000, L'x');
    EXPECT_EQ(formatString(L"<%s>", longText), L"<" + longText + L">");
}

namespace {
int failingCount(const wchar_t*, va_list) { return -1; }
int countThree(const wchar_t*, va_list) { return 3; }
int failingPrint(wchar_t*, std::size_t, const wchar_t*, va_list) { return -1; }

std::wstring formatWith(const FormatPrimitives& primitives, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        std::wstring result = formatStringV(primitives, format, args);
        va_end(args);
        return result;
    } catch (...) {
        va_end(args);
        throw;
    }
}

void expectArgumentError(const std::function<void()>& call, const wchar_t* message, const char* function, int line) {
    try {
        call();
        ADD_FAILURE() << "no exception";
    } catch (const ArgumentException& e) {
        EXPECT_EQ(e.message(), message);
        ASSERT_EQ(e.chain().size(), 1u);
        EXPECT_EQ(e.chain().front().text, L"");
        EXPECT_EQ(e.chain().front().function, function);
        EXPECT_EQ(e.chain().front().line, line);
    }
}
}  // namespace

TEST(Formatting, CountFailureAndPrintFailureRaiseArgumentException) {
    expectArgumentError([] { formatString(nullptr); }, L"_scwprintf() failed: invalid arguments",
                        "getFormatStringSize", 602);
    expectArgumentError([] { formatWith({failingCount, failingPrint}, L"%s", L"x"); },
                        L"_scwprintf() failed: invalid arguments", "getFormatStringSize", 602);
    expectArgumentError([] { formatWith({countThree, failingPrint}, L"%s", L"abc"); },
                        L"swprintf() failed: invalid arguments", "formatString", 624);
}

TEST(StructuredExceptions, DescribedInLowerCaseHexadecimal) {
    EXPECT_EQ(describeStructuredException(cwrpexception(0xC0000005)), L"C structured exception: 0xc0000005");
    EXPECT_EQ(describeStructuredException(cwrpexception(0x1F)), L"C structured exception: 0x1f");
}

namespace {
// An error-information object; optionally also the managed exception of an interop error.
class FakeErrorInfo : public IErrorInfo {
public:
    FakeErrorInfo(std::wstring description, std::wstring managedText, bool managed)
        : description_(std::move(description)), managedText_(std::move(managedText)), managed_(managed) {
        exception_.owner = this;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        static const IID managedIid = {0xB36B5C63, 0x42EF, 0x38BC, {0xA0, 0x7E, 0x0B, 0x34, 0xC9, 0x8F, 0x16, 0x4A}};
        if (iid == IID_IUnknown || iid == IID_IErrorInfo) {
            *out = static_cast<IErrorInfo*>(this);
        } else if (managed_ && iid == managedIid) {
            *out = &exception_;
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }
    HRESULT STDMETHODCALLTYPE GetGUID(GUID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* text) override {
        *text = description_.empty() ? nullptr : SysAllocString(description_.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD*) override { return E_NOTIMPL; }

    ULONG references() const { return references_; }

private:
    // IDispatch's seven slots, then the managed exception's ToString getter.
    struct ManagedException : IDispatch {
        FakeErrorInfo* owner = nullptr;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
            return owner->QueryInterface(iid, out);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return owner->AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return owner->Release(); }
        HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
            return E_NOTIMPL;
        }
        virtual HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) {
            *text = SysAllocString(owner->managedText_.c_str());
            return S_OK;
        }
    };

    std::wstring description_;
    std::wstring managedText_;
    bool managed_;
    ULONG references_ = 1;
    ManagedException exception_;
};
}  // namespace

TEST(ComErrors, WithoutSystemTextUsesTheDispatchErrorNumber) {
    ASSERT_TRUE(systemText(0x80040205).empty());
    const _com_error error(static_cast<HRESULT>(0x80040205));
    EXPECT_EQ(comErrorMessage(error), L"IDispatch error #5");
    const vexception e = fromComError(error, L"Unable to call load(x)", "Report::load", 33);
    EXPECT_EQ(fullMessage(e), L"IDispatch error #5 (COM Error 80040205)\n   at Unable to call load(x)\n   at (Report::load line 33)");

    ASSERT_TRUE(systemText(0x80040200).empty());
    EXPECT_EQ(comErrorMessage(_com_error(static_cast<HRESULT>(0x80040200))), L"Unknown error 0x80040200");
}

TEST(ComErrors, WithSystemTextAndDescription) {
    const std::wstring text = systemText(static_cast<DWORD>(E_ACCESSDENIED));
    ASSERT_FALSE(text.empty());
    FakeErrorInfo info(L"the sender refused", L"", false);
    {
        const _com_error error(E_ACCESSDENIED, &info, true);
        EXPECT_EQ(fromComError(error, L"call()", "f", 1).message(),
                  text + L" (COM Error 80070005, Description: the sender refused)\n   at call()");
    }
    EXPECT_EQ(info.references(), 1u);  // every reference taken was given back
}

TEST(ComErrors, InteropErrorsDescribeTheManagedException) {
    FakeErrorInfo info(L"short", L"System.InvalidOperationException: long form", true);
    {
        const _com_error error(static_cast<HRESULT>(0x80131509), &info, true);
        const std::wstring message = fromComError(error, L"call()", "f", 1).message();
        EXPECT_NE(message.find(L" (COM Interop Error 80131509, Description: System.InvalidOperationException: long form)"),
                  std::wstring::npos)
            << message;
    }
    EXPECT_EQ(info.references(), 1u);

    FakeErrorInfo silent(L"", L"unused", true);
    const _com_error quiet(static_cast<HRESULT>(0x80131509), &silent, true);
    const std::wstring message = fromComError(quiet, L"call()", "f", 1).message();
    EXPECT_NE(message.find(L" (COM Interop Error 80131509)\n   at call()"), std::wstring::npos) << message;
}
