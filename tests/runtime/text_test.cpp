// Code-page conversion, small text helpers, date-times and unique names.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <functional>
#include <set>
#include <string>

#include "errors/vexception.h"
#include "runtime/datetime.h"
#include "runtime/text.h"

namespace {

constexpr std::uint32_t kUtf8 = 65001;
constexpr std::uint32_t kNoSuchCodePage = 12345;

// The OS error action raises, as "message|function".
std::wstring raised(const std::function<void()>& action) {
    try {
        action();
    } catch (const vosexception& e) {
        return e.message() + L"|" + wstr(e.chain().front().function, 0);
    }
    return L"(no failure)";
}

// The same, expected: the error that the failing direct call leaves behind.
std::wstring lastError(const std::function<void()>& direct, const wchar_t* operation, const char* function) {
    SetLastError(0);
    direct();
    return vosexception::composeMessage(GetLastError(), operation) + L"|" + wstr(function, 0);
}

SYSTEMTIME makeTime(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0, WORD ms = 0) {
    return SYSTEMTIME{year, month, 0, day, hour, minute, second, ms};
}

}  // namespace

TEST(CodePages, ConvertByExplicitLengthReplaceWhatIsMalformedAndRaiseTheSystemError) {
    // Empty text never reaches the platform: this code page would fail any real conversion.
    EXPECT_EQ(cstr(L"", kNoSuchCodePage), "");
    EXPECT_EQ(wstr("", kNoSuchCodePage), L"");
    const std::wstring mixed(L"A\u00e9\u20ac\U0001F600\0z", 7);  // every UTF-8 length and a zero
    const std::string encoded("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\0z", 12);
    EXPECT_EQ(cstr(mixed, kUtf8), encoded);
    EXPECT_EQ(wstr(encoded, kUtf8), mixed);
    // Malformed input is replaced, never refused.
    EXPECT_EQ(wstr("a\xFF" "b\xC3", kUtf8), L"a\uFFFDb\uFFFD");
    EXPECT_EQ(cstr(std::wstring{L'a', static_cast<wchar_t>(0xD800)}, kUtf8), "a\xEF\xBF\xBD");
    EXPECT_EQ(raised([] { wstr("ab", kNoSuchCodePage); }),
              lastError([] { MultiByteToWideChar(kNoSuchCodePage, 0, "ab", 2, nullptr, 0); },
                        L"Maps a character string to a wide-character (Unicode) string failed", "wstr"));
    EXPECT_EQ(raised([] { cstr(L"ab", kNoSuchCodePage); }),
              lastError([] { WideCharToMultiByte(kNoSuchCodePage, 0, L"ab", 2, nullptr, 0, nullptr, nullptr); },
                        L"Maps a wide-character (Unicode) string to a character stringz", "cstr"));
    EXPECT_EQ(trimRightSpace(L"  a b \t\r\n\v\f"), L"  a b");
    EXPECT_EQ(trimRightSpace(L" \t\r\n "), L"");
}

TEST(DateTime, ComparesFieldsByRankAndSubtractsIn100NanosecondUnits) {
    // A later value in a higher field wins over larger values in every lower one;
    // fields are unsigned: a year above 32767 is later.
    const VDateTime stamp(makeTime(2025, 2, 3, 14, 5, 9, 42));
    for (const SYSTEMTIME& earlier : {makeTime(2025, 2, 2, 23, 59, 59, 999), makeTime(2025, 2, 3, 14, 5, 9, 41)})
        EXPECT_TRUE(VDateTime(earlier) < stamp && !(stamp < VDateTime(earlier))) << earlier.wDay;
    EXPECT_TRUE(stamp < VDateTime(makeTime(0x9000, 1, 1)));
    EXPECT_EQ(stamp - VDateTime(makeTime(2024, 2, 28, 14, 5, 9, 41)), (341 * 86'400'000LL + 1) * 10'000);
    // Either side may be the invalid one.
    const SYSTEMTIME invalid = makeTime(2025, 13, 1);
    FILETIME unused;
    const std::wstring error = lastError([&] { SystemTimeToFileTime(&invalid, &unused); }, L"SystemTimeToFileTime",
                                         "VDateTime::operator -");
    EXPECT_EQ(raised([&] { (void)(VDateTime(invalid) - stamp); }), error);
    EXPECT_EQ(raised([&] { (void)(stamp - VDateTime(invalid)); }), error);
}

// The stamps name report files; no time-zone shift on the way from a file time.
TEST(DateTime, FileTimesConvertUnshiftedAndStampsAreZeroPadded) {
    const std::uint64_t ticks = 133830651090420000ull;  // 2025-02-03T14:05:09.042Z, a Monday
    const VDateTime stamp(FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)});
    EXPECT_EQ(stamp.systemTime().wDayOfWeek, 1);
    EXPECT_EQ(stamp.logStamp(L" - "), L"2025 - 02 - 03 14:05:09.042");
    const VDateTime early(makeTime(5, 1, 2, 3, 4, 5, 6));
    EXPECT_EQ(early.compactStamp() + L" " + early.logStamp(L"/") + L" " + early.dateStamp(),
              L"00050102T030405 0005/01/02 03:04:05.006 00050102");
    const FILETIME outOfRange{0, 0x80000000u};
    SYSTEMTIME ignored;
    EXPECT_EQ(raised([&] { VDateTime{outOfRange}; }),
              lastError([&] { FileTimeToSystemTime(&outOfRange, &ignored); }, L"FileTimeToSystemTime",
                        "VDateTime::VDateTime"));
}

TEST(UniqueNames, AreDistinctHyphenatedHexGuids) {
    std::set<std::wstring> seen;
    for (int i = 0; i < 100; ++i) {
        std::wstring shape = RunTime::uniqueName(i % 2 == 0);
        EXPECT_TRUE(seen.insert(shape).second) << "repeated " << testing::PrintToString(shape);
        for (wchar_t& c : shape) c = std::iswxdigit(c) ? L'x' : c;
        EXPECT_EQ(shape, L"xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx");
    }
}
