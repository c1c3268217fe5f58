// The texts every logged failure is made of, and the guarded operations that
// build their context chains from foreign errors and machine faults.
#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <new>
#include <thread>
#include <vector>

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/com.h"
#include "runtime/library.h"
#include "tests/support/raised.h"
#include "threads/guard.h"

namespace {

using test_support::systemText;

constexpr GuardedOperation kOuter{"Test::outer", L"Unable to call outer(%s)", 10, 11};
constexpr GuardedOperation kMiddle{"Test::middle", L"middle(%s, %d)", 20, 21};
constexpr GuardedOperation kInner{"Test::inner", L"Unable to call inner(%s)", 30, 31};

// Records the destruction of each frame's local object.
std::vector<int> g_destroyed;
struct Marker {
    int id;
    ~Marker() { g_destroyed.push_back(id); }
};

volatile std::uintptr_t g_badAddress = 0x18;

__attribute__((noinline)) int fault() {
    Marker local{4};
    return *reinterpret_cast<volatile int*>(g_badAddress) + local.id;
}

// What escapes innermost run three guarded operations deep, each frame with a
// Marker: its kind and message, then one "text|function" per chain entry.
std::vector<std::wstring> threeDeep(const std::function<int()>& innermost) {
    g_destroyed.clear();
    try {
        guarded(kOuter, [&] {
            Marker m{1};
            return guarded(kMiddle, [&] {
                Marker m2{2};
                return guarded(kInner, [&] {
                    Marker m3{3};
                    return innermost();
                }, L"C:\\in");
            }, std::wstring(L"mid"), 7);
        }, std::string("narrow arg"));
    } catch (const vexception& e) {
        const wchar_t* kind = dynamic_cast<const VFileNotFoundException*>(&e) ? L"file not found: "
                              : typeid(e) == typeid(vexception)              ? L"plain: "
                                                                             : L"other: ";
        std::vector<std::wstring> result{kind + e.message()};
        for (const ErrorContext& entry : e.chain()) result.push_back(entry.text + L"|" + wstr(entry.function, 0));
        return result;
    }
    return {L"(no failure)"};
}

// The interface a managed COM server's error object also answers for; only ToString is called.
struct ManagedException : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) = 0;
};

// A COM error object with a description; a managed one also answers for the managed exception.
struct ErrorObject : IErrorInfo, ManagedException {
    bool managed = false;
    ULONG references = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        static const IID kManaged{0xB36B5C63, 0x42EF, 0x38BC, {0xA0, 0x7E, 0x0B, 0x34, 0xC9, 0x8F, 0x16, 0x4A}};
        *out = nullptr;
        if (iid == IID_IErrorInfo || iid == IID_IUnknown) *out = static_cast<IErrorInfo*>(this);
        if (managed && iid == kManaged) *out = static_cast<ManagedException*>(this);
        return *out ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* text) override { return answer(text, L"the sender refused"); }
    HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) override { return answer(text, L"IOException: gone"); }
    static HRESULT answer(BSTR* text, const wchar_t* value) { return *text = SysAllocString(value), S_OK; }
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
};

}  // namespace

TEST(GuardedOperation, EveryFailureGainsOneEntryPerOperationAndUnwindsEveryFrameAndBrokenCallTextsRaise) {
    volatile int zero = 0;
    const struct {
        std::function<int()> body;
        std::vector<std::wstring> head;  // before the three operations' entries
        std::vector<int> destroyed;
    } rows[] = {
        {[]() -> int { throwOsError(L"CreateFileW", ERROR_FILE_NOT_FOUND, raiseSite("openFile", 99)); },
         {L"file not found: " + vosexception::composeMessage(2, L"CreateFileW"), L"|openFile"}, {3, 2, 1}},
        {[]() -> int { throw std::bad_alloc(); }, {L"plain: " + wstr(std::bad_alloc().what(), 0)}, {3, 2, 1}},
        {[]() -> int { throw 17; }, {L"plain: Unexpected error"}, {3, 2, 1}},
        // The faulting frame's own local first, then each operation's.
        {[] { return fault(); }, {L"plain: C structured exception: 0xc0000005"}, {4, 3, 2, 1}},
        // Faults in a frameless function, on a stack off 16-byte alignment.
        {[&] { return 10 / zero; }, {L"plain: C structured exception: 0xc0000094"}, {3, 2, 1}},
        // Raised in another module: thrown at the call into it. Non-continuable: unwound to the boundary.
        {[]() -> int { RaiseException(0xE0000001, 0, 0, nullptr); return 0; },
         {L"plain: C structured exception: 0xe0000001"}, {3, 2, 1}},
        {[]() -> int { RaiseException(0x80000003, EXCEPTION_NONCONTINUABLE, 0, nullptr); return 0; },
         {L"plain: C structured exception: 0x80000003"}, {2, 1}},
    };
    for (const auto& row : rows) {
        std::vector<std::wstring> expected = row.head;
        expected.insert(expected.end(), {L"Unable to call inner(C:\\in)|Test::inner", L"middle(mid, 7)|Test::middle",
                                         L"Unable to call outer(narrow arg)|Test::outer"});
        EXPECT_EQ(threeDeep(row.body), expected);
        EXPECT_EQ(g_destroyed, row.destroyed) << testing::PrintToString(row.head[0]);
    }
    // A COM error carries the call text in its message.
    EXPECT_EQ(threeDeep([]() -> int { _com_issue_error(static_cast<HRESULT>(0x80040205)); return 0; })[0],
              L"plain: IDispatch error #5 (COM Error 80040205)\n   at Unable to call inner(C:\\in)");
    static constexpr GuardedOperation broken{"Test::broken", nullptr, 1, 2};
    EXPECT_THROW(guarded(broken, []() -> int { throw 1; }), ArgumentException) << "a call text that cannot be built";
}

TEST(StructuredExceptionTranslator, TranslatesOnOtherThreadsTimeAfterTimeAndLeavesForeignHandlersAlone) {
    std::thread([] {
        for (int i = 0; i < 50; ++i) ASSERT_EQ(threeDeep(fault).size(), 4u) << i;
    }).join();
    const RunTime::Owner<RunTime::LibraryTraits> probe(LoadLibraryW(L"rdprobe.dll"));
    const auto read = reinterpret_cast<int (*)(const volatile int*)>(
        reinterpret_cast<void*>(GetProcAddress(probe.get(), "rdprobe")));
    ASSERT_NE(read, nullptr);
    // The DLL's own handler answers the fault.
    EXPECT_EQ(guarded(kInner, [&] { return read(reinterpret_cast<const volatile int*>(g_badAddress)); }, L"x"), -1);
    // A C++ throw of another compiler passes the boundary untouched, to that code's own handler outside the operation
    // (which resumes it here, so that the operation goes on).
    const auto call = reinterpret_cast<int (*)(void (*)(void*), void*)>(
        reinterpret_cast<void*>(GetProcAddress(probe.get(), "rdprobeCall")));
    ASSERT_NE(call, nullptr);
    int resumed = 0;
    auto operation = [&] {
        guarded(kInner, [&] {
            RaiseException(0xE06D7363, 0, 0, nullptr);
            ++resumed;
        }, L"x");
    };
    EXPECT_EQ(call([](void* body) { (*static_cast<decltype(operation)*>(body))(); }, &operation), 1);
    EXPECT_EQ(resumed, 1);
    // No handler between the C runtime and this module: translated.
    const auto length = RunTime::systemFunction<std::size_t(const wchar_t*)>(L"msvcrt.dll", "wcslen");
    EXPECT_EQ(threeDeep([&] { return static_cast<int>(length(reinterpret_cast<const wchar_t*>(g_badAddress))); })[0],
              L"plain: C structured exception: 0xc0000005");
}

// A recovered overflow's guard goes back just below the caller, the thread's guarantee (in pages) and a page large.
TEST(StructuredExceptionTranslator, TheStackGuardGoesBackJustBelowTheCallerAsLargeAsTheGuaranteeAndAPage) {
    std::thread([] {
        ULONG guarantee = 40000;  // ten pages and a bit
        ASSERT_TRUE(SetThreadStackGuarantee(&guarantee) && resetStackGuard());
        MEMORY_BASIC_INFORMATION region{};
        const std::uintptr_t page = 4096, here = reinterpret_cast<std::uintptr_t>(&region) & ~(page - 1);
        const auto guardBelow = [&](std::uintptr_t at) {
            return VirtualQuery(reinterpret_cast<void*>(at - page), &region, sizeof region) && region.Protect & PAGE_GUARD;
        };
        std::uintptr_t top = here, bottom;
        while (!guardBelow(top) && here - top < (1 << 20)) top -= page;
        for (bottom = top; guardBelow(bottom);) bottom -= page;
        EXPECT_TRUE(here - top <= page && top - bottom == 11 * page) << (here - top) << ", " << (top - bottom);
    }).join();
}

TEST(ErrorTexts, SystemTextCodeAndOperationFaultsInBareHexAndComErrorsWithTheirDescription) {
    EXPECT_EQ(vosexception(5, static_cast<const wchar_t*>(nullptr), raiseSite("f", 1)).message(),
              systemText(5) + L" (Error code 5)");
    // The customer bit set: the system has no text for it.
    EXPECT_EQ(vosexception(0x2000ABCD, L"GetModuleFileName", raiseSite("f", 1)).message(),
              L"Unknown error (Error code 536914893) at GetModuleFileName");
    EXPECT_EQ(describeStructuredException(cwrpexception(0x1F)), L"C structured exception: 0x1f");
    // Wide strings through the C runtime's convention, of any length.
    const std::wstring longText(100000, L'x');
    EXPECT_EQ(formatString(L"%d|%lu|%s|<%s>", -5, 4294967295u, std::wstring(L"\U0001F600 \u00e9"), longText),
              L"-5|4294967295|\U0001F600 \u00e9|<" + longText + L">");
    // COM errors: the system's text, the dispatch number or the code, with the error object's description.
    EXPECT_EQ(comErrorMessage(_com_error(static_cast<HRESULT>(0x80040200))), L"Unknown error 0x80040200");

    // A managed server's exception text stands for the description.
    ErrorObject info;
    for (const bool managed : {false, true}) {
        info.managed = managed;
        EXPECT_EQ(fromComError(_com_error(E_ACCESSDENIED, &info, true), L"call()", "f", 1).message(),
                  systemText(static_cast<DWORD>(E_ACCESSDENIED)) +
                      (managed ? L" (COM Interop Error 80070005, Description: IOException: gone)"
                               : L" (COM Error 80070005, Description: the sender refused)") + L"\n   at call()");
    }
    EXPECT_EQ(info.references, 1u) << "a reference taken was not given back";
}
