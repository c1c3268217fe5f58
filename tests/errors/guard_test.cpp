// Guarded operations: context chains, foreign errors and machine faults.
#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <vector>

#include "threads/guard.h"

namespace {

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

template <class Innermost>
int threeDeep(Innermost innermost) {
    return guarded(
        kOuter,
        [&] {
            Marker m{1};
            return guarded(
                kMiddle,
                [&] {
                    Marker m2{2};
                    return guarded(
                        kInner,
                        [&] {
                            Marker m3{3};
                            return innermost();
                        },
                        L"C:\\in");
                },
                std::wstring(L"mid"), 7);
        },
        std::string("narrow arg"));
}

std::vector<std::wstring> texts(const vexception& e) {
    std::vector<std::wstring> result;
    for (const ErrorContext& entry : e.chain()) result.push_back(entry.text + L"|" + wstr(entry.function, 0));
    return result;
}

}  // namespace

TEST(GuardedOperation, ReturnsTheBodysResultAndRestoresTheTranslator) {
    EXPECT_EQ(setStructuredTranslator(nullptr), nullptr);
    EXPECT_EQ(guarded(kOuter, [] { return 42; }, L"a"), 42);
    int calls = 0;
    guarded(kOuter, [&] { ++calls; }, L"a");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(setStructuredTranslator(nullptr), nullptr);
}

TEST(GuardedOperation, OsErrorKeepsItsTypeAndGainsOneEntryPerOperation) {
    g_destroyed.clear();
    try {
        threeDeep([]() -> int { throwOsError(L"CreateFileW", ERROR_FILE_NOT_FOUND, raiseSite("openFile", 99)); });
        FAIL();
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(e.code(), 2u);
        EXPECT_EQ(texts(e), (std::vector<std::wstring>{L"|openFile", L"Unable to call inner(C:\\in)|Test::inner",
                                                       L"middle(mid, 7)|Test::middle",
                                                       L"Unable to call outer(narrow arg)|Test::outer"}));
        EXPECT_EQ(e.chain().back().line, 11);
    }
    EXPECT_EQ(g_destroyed, (std::vector<int>{3, 2, 1}));
}

TEST(GuardedOperation, StandardExceptionBecomesVexceptionWithItsText) {
    try {
        guarded(kInner, []() -> int { throw std::bad_alloc(); }, L"x");
        FAIL();
    } catch (const vexception& e) {
        EXPECT_EQ(typeid(e), typeid(vexception));
        EXPECT_EQ(e.message(), wstr(std::bad_alloc().what(), 0));
        ASSERT_EQ(e.chain().size(), 1u);
        EXPECT_EQ(e.chain().front().text, L"Unable to call inner(x)");
        EXPECT_EQ(e.chain().front().line, 31);
    }
}

TEST(GuardedOperation, AnythingElseBecomesUnexpectedError) {
    try {
        guarded(kInner, []() -> int { throw 17; }, L"x");
        FAIL();
    } catch (const vexception& e) {
        EXPECT_EQ(fullMessage(e), L"Unexpected error\n   at Unable to call inner(x)(Test::inner line 31)");
    }
}

TEST(GuardedOperation, ComErrorBecomesVexceptionWithTheCallTextInItsMessage) {
    try {
        guarded(kInner, []() -> int { _com_issue_error(static_cast<HRESULT>(0x80040205)); return 0; }, L"x");
        FAIL();
    } catch (const vexception& e) {
        EXPECT_EQ(fullMessage(e),
                  L"IDispatch error #5 (COM Error 80040205)\n   at Unable to call inner(x)\n   at (Test::inner line 31)");
    }
}

TEST(GuardedOperation, FailingCallTextPropagatesItsArgumentException) {
    static constexpr GuardedOperation broken{"Test::broken", nullptr, 1, 2};
    EXPECT_THROW(guarded(broken, []() -> int { throw 1; }), ArgumentException);
}

TEST(StructuredExceptionTranslator, AccessViolationThreeDeepKeepsContextsAndRunsDestructors) {
    g_destroyed.clear();
    try {
        threeDeep([] { return fault(); });
        FAIL() << "the fault did not surface";
    } catch (const vexception& e) {
        EXPECT_EQ(typeid(e), typeid(vexception));
        EXPECT_EQ(e.message(), L"C structured exception: 0xc0000005");
        EXPECT_EQ(texts(e), (std::vector<std::wstring>{L"Unable to call inner(C:\\in)|Test::inner",
                                                       L"middle(mid, 7)|Test::middle",
                                                       L"Unable to call outer(narrow arg)|Test::outer"}));
    }
    // The faulting frame's own local first, then each operation's.
    EXPECT_EQ(g_destroyed, (std::vector<int>{4, 3, 2, 1}));
    EXPECT_EQ(setStructuredTranslator(nullptr), nullptr);
}

TEST(StructuredExceptionTranslator, RepeatedFaultsAndOtherFaultCodes) {
    for (int i = 0; i < 50; ++i) {
        EXPECT_THROW(guarded(kInner, [] { return fault(); }, L"x"), vexception);
    }
    volatile int zero = 0;
    try {
        volatile int quotient = guarded(kInner, [&] { return 10 / zero; }, L"x");
        FAIL() << quotient;
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"C structured exception: 0xc0000094");
    }
}

TEST(StructuredExceptionTranslator, WorksOnOtherThreads) {
    std::wstring message;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* out) -> DWORD {
            try {
                guarded(kInner, [] { return fault(); }, L"x");
            } catch (const vexception& e) {
                *static_cast<std::wstring*>(out) = e.message();
            }
            return 0;
        },
        &message, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(message, L"C structured exception: 0xc0000005");
}

TEST(StructuredExceptionTranslator, ForeignFaultsGoToTheirOwnHandlerOrAreTranslated) {
    const HMODULE probe = LoadLibraryW(L"rdprobe.dll");
    ASSERT_NE(probe, nullptr);
    const auto read = reinterpret_cast<int (*)(const volatile int*)>(
        reinterpret_cast<void*>(GetProcAddress(probe, "rdprobe")));
    ASSERT_NE(read, nullptr);
    const auto bad = reinterpret_cast<const volatile int*>(g_badAddress);
    // The DLL's own handler answers the fault.
    EXPECT_EQ(guarded(kInner, [&] { return read(bad); }, L"x"), -1);
    // No handler between the C runtime and this module: translated.
    const auto length = reinterpret_cast<std::size_t (*)(const wchar_t*)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"msvcrt.dll"), "wcslen")));
    try {
        guarded(kInner, [&] { return length(reinterpret_cast<const wchar_t*>(g_badAddress)); }, L"x");
        FAIL() << "the fault did not surface";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"C structured exception: 0xc0000005");
    }
    FreeLibrary(probe);
}
