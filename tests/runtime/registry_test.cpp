// The registry layer against the test prefix's real registry, in a scratch
// key under HKEY_LOCAL_MACHINE that each test removes in both views.
#include <windows.h>

#include <gtest/gtest.h>

#include <typeinfo>
#include <vector>

#include "errors/vexception.h"
#include "runtime/registry.h"
#include "runtime/text.h"
#include "tests/support/raised.h"

using registry::View;

namespace {

const HKEY kRoot = HKEY_LOCAL_MACHINE;

// The message of exactly an Expected thrown by body, with the function of its raise site.
template <class Expected = vexception, class Body>
std::wstring thrown(Body body) {
    return test_support::messageOf<Expected>(body, [](const Expected& e) {
        EXPECT_EQ(typeid(e), typeid(Expected));
        return e.message() + L" in " + wstr(e.chain().front().function, 0);
    });
}

}  // namespace

class Registry : public testing::Test {
protected:
    // Per process: test programs may share the prefix.
    const std::wstring key_ = L"SOFTWARE\\RundockTests\\registry-" + std::to_wstring(GetCurrentProcessId());

    void TearDown() override {
        for (View view : {View::View32, View::View64}) {
            RegDeleteKeyExW(kRoot, key_.c_str(), registry::accessFlag(view), 0);
            RegDeleteKeyExW(kRoot, L"SOFTWARE\\RundockTests", registry::accessFlag(view), 0);  // when empty
        }
    }
    void put(const std::wstring& name, DWORD type, const void* data, DWORD size, View view = View::View32) {
        registry::Key key(kRoot, key_, KEY_SET_VALUE | registry::accessFlag(view), false);
        ASSERT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size), 0);
    }
    void put(const std::wstring& name, DWORD value, View view = View::View32) { put(name, REG_DWORD, &value, 4, view); }
};

// A missing value is a status, except where the value must exist. Each view reaches its own key.
TEST_F(Registry, WrongTypesAndSizesAreRefusedMissingValuesKeepTheOutputAndSettingsAreRereadEverySixteenthQuery) {
    const WORD two = 1;
    put(L"Short", REG_SZ, L"1", 4);  // one character and its zero: as long as a DWORD
    put(L"Two", REG_DWORD, &two, 2);
    put(L"Multi", REG_MULTI_SZ, L"a\0b\0", 10);
    ASSERT_TRUE(SetEnvironmentVariableW(L"RD_REGISTRY_TEST", L"expanded"));
    put(L"Expand", REG_EXPAND_SZ, L"%RD_REGISTRY_TEST%\\x", 42);
    registry::Key key(kRoot, key_, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY, true);
    DWORD value = 5;
    EXPECT_EQ(thrown([&] { registry::lookup(key.get(), L"Short", value); }),
              L"RegQueryValueEx invalid type of 'Short' in registry::lookup");
    EXPECT_EQ(thrown([&] { registry::lookup(kRoot, key_, L"Two", value, View::View32); }),
              L"RegQueryValueEx invalid size of '" + key_ + L"\\Two' in registry::lookup");
    EXPECT_EQ(value, 5u);
    for (const wchar_t* name : {L"Short", L"Two", L"None"}) EXPECT_EQ(registry::dwordOrDefault(key.get(), name, 7), 7u);
    std::wstring text = L"kept";
    EXPECT_EQ(thrown([&] { registry::lookup(kRoot, key_, L"Multi", text, REG_SZ, View::View32); }),
              L"RegGetValue invalid type of '" + key_ + L"\\Multi' in registry::lookup");
    EXPECT_EQ(registry::lookup(kRoot, key_, L"None", text, REG_SZ, View::View32), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(text, L"kept");
    EXPECT_EQ(registry::lookup(key.get(), L"Expand", text), 0);
    EXPECT_EQ(text, L"expanded\\x");
    registry::set(key.get(), L"Text", L"caf\u00e9");
    DWORD size = 0;
    EXPECT_TRUE(RegQueryValueExW(key.get(), L"Text", nullptr, nullptr, nullptr, &size) == 0 && size == 10u)
        << "the terminating zero is stored";
    EXPECT_EQ(thrown<VFileNotFoundException>([&] { registry::getstr(kRoot, key_, L"None", View::View32); }),
              test_support::systemText(2) + L" (Error code 2) at lookup subKey=" + key_ +
                  L" value=None in registry::getstr");

    put(L"Which", 64, View::View64);
    DWORD values[3] = {};
    for (View view : {View::View32, View::View64, View::Native})
        registry::lookup(kRoot, key_, L"Which", values[static_cast<int>(view) - 1], view);
    EXPECT_EQ(std::vector<DWORD>(values, values + 3), (std::vector<DWORD>{0, 64, 64}));
    // Settings: re-read on the 1st, 17th, 33rd… query; a stored 0 gives the caller's default, a removed value keeps the
    // cache. A wrongly typed value is never cached; it stops the try-count style for good, not the Debug style.
    registry::RefreshedDword count(kRoot, key_, L"Count", View::View32), tries(kRoot, key_, L"Tries", View::View32),
        debug(kRoot, key_, L"Debug", View::View32);
    const auto answering = [](int queries, auto query, unsigned expected) {  // how many of them answer expected
        int same = 0;
        for (int i = 0; i < queries; ++i) same += query() == expected;
        return same;
    };
    put(L"Count", 3);
    for (const wchar_t* name : {L"Debug", L"Tries"}) put(name, REG_SZ, L"1", 4);
    EXPECT_TRUE(count.valueOr(9) == 3u && !debug.isSet() && tries.valueOr(9) == 9u);
    put(L"Count", 0);
    put(L"Debug", 1);
    put(L"Tries", 5);
    EXPECT_EQ(answering(15, [&] { return count.valueOr(9); }, 3), 15);
    EXPECT_EQ(answering(15, [&] { return debug.isSet(); }, false), 15);
    EXPECT_TRUE(count.valueOr(9) == 9u && debug.isSet());
    EXPECT_EQ(answering(40, [&] { return tries.valueOr(9); }, 9), 40);
    // A value removed keeps what the cache holds: neither 0 nor the default takes its place.
    put(L"Count", 4);
    EXPECT_EQ(answering(16, [&] { return count.valueOr(9); }, 4), 1);  // the 33rd query reads it
    for (const wchar_t* name : {L"Count", L"Debug"}) ASSERT_EQ(RegDeleteValueW(key.get(), name), 0);
    EXPECT_EQ(answering(16, [&] { return count.valueOr(9); }, 4), 16);
    EXPECT_EQ(answering(16, [&] { return debug.isSet(); }, true), 16);
}
