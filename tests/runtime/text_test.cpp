// Code-page conversion, small text helpers, date-times and unique names.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <functional>
#include <iterator>
#include <set>
#include <string>

#include "errors/vexception.h"
#include "runtime/datetime.h"
#include "runtime/text.h"
#include "tests/support/system_text.h"

namespace {

constexpr std::uint32_t kUtf8 = 65001;
constexpr std::uint32_t kNoSuchCodePage = 12345;

// The message text the exception family composes: the system's, or "Unknown error".
std::wstring systemText(DWORD code) {
    const std::wstring text = test_support::systemText(code);
    return text.empty() ? L"Unknown error" : text;
}

// action must raise an OS error carrying expectedCode, for operation, raised in function.
void expectOsError(const std::function<void()>& action, DWORD expectedCode, const std::wstring& operation,
                   const std::string& function) {
    ASSERT_NE(expectedCode, 0u) << "the direct call did not fail";
    try {
        action();
        ADD_FAILURE() << "no exception";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), expectedCode);
        EXPECT_EQ(e.message(), systemText(expectedCode) + L" (Error code " + std::to_wstring(expectedCode) +
                                   L") at " + operation);
        ASSERT_FALSE(e.chain().empty());
        EXPECT_EQ(e.chain().front().function, function);
    } catch (...) {
        ADD_FAILURE() << "not a vosexception";
    }
}

SYSTEMTIME makeTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second, WORD millisecond,
                    WORD dayOfWeek = 0) {
    SYSTEMTIME t{};
    t.wYear = year;
    t.wMonth = month;
    t.wDayOfWeek = dayOfWeek;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wMilliseconds = millisecond;
    return t;
}

FILETIME fileTime(std::uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

constexpr std::int64_t kMillisecond = 10'000;
constexpr std::int64_t kDay = 86'400'000 * kMillisecond;

}  // namespace

TEST(CodePages, EmptyTextNeverReachesThePlatform) {
    // A code page that does not exist would fail any real conversion.
    EXPECT_EQ(cstr(L"", kNoSuchCodePage), "");
    EXPECT_EQ(wstr("", kNoSuchCodePage), L"");
}

TEST(CodePages, Utf8RoundTripsEveryEncodingLength) {
    EXPECT_EQ(cstr(L"\U0001F600", kUtf8), "\xF0\x9F\x98\x80");
    const std::wstring mixed = L"A\u00e9\u20ac\U0001F600\U00010348z";
    const std::string encoded = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF0\x90\x8D\x88z";
    EXPECT_EQ(cstr(mixed, kUtf8), encoded);
    EXPECT_EQ(wstr(encoded, kUtf8), mixed);
    // The length is explicit: embedded NULs survive both ways.
    const std::wstring withNul(L"a\0b", 3);
    EXPECT_EQ(cstr(withNul, kUtf8), std::string("a\0b", 3));
    EXPECT_EQ(wstr(std::string("a\0b", 3), kUtf8), withNul);
    EXPECT_EQ(wstr(cstr(L"plain text 123", 0), 0), L"plain text 123");
}

TEST(CodePages, MalformedUtf8IsReplacedNotRejected) {
    // Without MB_ERR_INVALID_CHARS the system substitutes U+FFFD instead of failing.
    EXPECT_EQ(wstr("a\xFF" "b", kUtf8), L"a\uFFFDb");
    EXPECT_EQ(wstr("a\xC3", kUtf8), L"a\uFFFD");
    const wchar_t loneSurrogate[] = {L'a', 0xD800, L'b'};
    EXPECT_EQ(cstr(std::wstring(loneSurrogate, 3), kUtf8), "a\xEF\xBF\xBD" "b");
}

TEST(CodePages, ConversionFailureRaisesTheSystemError) {
    SetLastError(0);
    MultiByteToWideChar(kNoSuchCodePage, 0, "ab", 2, nullptr, 0);
    const DWORD narrowToWide = GetLastError();
    expectOsError([] { wstr("ab", kNoSuchCodePage); }, narrowToWide,
                  L"Maps a character string to a wide-character (Unicode) string failed", "wstr");

    SetLastError(0);
    WideCharToMultiByte(kNoSuchCodePage, 0, L"ab", 2, nullptr, 0, nullptr, nullptr);
    const DWORD wideToNarrow = GetLastError();
    expectOsError([] { cstr(L"ab", kNoSuchCodePage); }, wideToNarrow,
                  L"Maps a wide-character (Unicode) string to a character stringz", "cstr");
}

TEST(TextHelpers, TrimRightSpaceRemovesOnlyTrailingWhiteSpace) {
    EXPECT_EQ(trimRightSpace(L"abc \t\r\n\v\f"), L"abc");
    EXPECT_EQ(trimRightSpace(L"  a b  "), L"  a b");
    EXPECT_EQ(trimRightSpace(L" \t\r\n "), L"");
    EXPECT_EQ(trimRightSpace(L""), L"");
    EXPECT_EQ(trimRightSpace(L"done."), L"done.");
}

TEST(TextHelpers, ToDecimalCoversTheUnsignedRange) {
    EXPECT_EQ(toDecimal(0), L"0");
    EXPECT_EQ(toDecimal(7), L"7");
    EXPECT_EQ(toDecimal(1000000), L"1000000");
    EXPECT_EQ(toDecimal(2147483648u), L"2147483648");
    EXPECT_EQ(toDecimal(4294967295u), L"4294967295");
}

TEST(DateTime, ComparesFieldsByRankIgnoringDayOfWeek) {
    const VDateTime monday(makeTime(2025, 2, 3, 14, 5, 9, 42, 1));
    const VDateTime sunday(makeTime(2025, 2, 3, 14, 5, 9, 42, 0));
    EXPECT_EQ(VDateTime::compare(monday, sunday), 0);
    EXPECT_TRUE(monday == sunday);
    EXPECT_FALSE(monday < sunday);
    EXPECT_FALSE(sunday < monday);

    // A later value in a higher field wins over smaller values in every lower one.
    WORD SYSTEMTIME::*const ranked[] = {&SYSTEMTIME::wYear,   &SYSTEMTIME::wMonth,  &SYSTEMTIME::wDay,
                                        &SYSTEMTIME::wHour,   &SYSTEMTIME::wMinute, &SYSTEMTIME::wSecond,
                                        &SYSTEMTIME::wMilliseconds};
    const SYSTEMTIME base = makeTime(2025, 6, 15, 12, 30, 30, 500);
    for (std::size_t k = 0; k < std::size(ranked); ++k) {
        SYSTEMTIME later = base;
        SYSTEMTIME earlier = base;
        later.*ranked[k] += 1;
        for (std::size_t lower = k + 1; lower < std::size(ranked); ++lower) {
            later.*ranked[lower] = 0;
            earlier.*ranked[lower] = 59;
        }
        SCOPED_TRACE(testing::Message() << "field " << k);
        EXPECT_EQ(VDateTime::compare(VDateTime(later), VDateTime(earlier)), 1);
        EXPECT_EQ(VDateTime::compare(VDateTime(earlier), VDateTime(later)), -1);
        EXPECT_TRUE(VDateTime(earlier) < VDateTime(later));
        EXPECT_FALSE(VDateTime(later) < VDateTime(earlier));
    }
    // Fields are unsigned: a year above 32767 is still later.
    EXPECT_TRUE(VDateTime(makeTime(2025, 1, 1, 0, 0, 0, 0)) < VDateTime(makeTime(0x9000, 1, 1, 0, 0, 0, 0)));
}

TEST(DateTime, DifferenceIsIn100NanosecondUnits) {
    const VDateTime stamp(makeTime(2025, 2, 3, 14, 5, 9, 42));
    EXPECT_EQ(stamp - stamp, 0);
    const VDateTime dayBefore(makeTime(2025, 2, 2, 14, 5, 9, 41));
    EXPECT_EQ(stamp - dayBefore, kDay + kMillisecond);
    EXPECT_EQ(dayBefore - stamp, -(kDay + kMillisecond));
    EXPECT_EQ(VDateTime(makeTime(2025, 1, 1, 0, 0, 0, 0)) - VDateTime(makeTime(2024, 12, 31, 23, 59, 59, 999)),
              kMillisecond);
    EXPECT_EQ(VDateTime(makeTime(2024, 3, 1, 0, 0, 0, 0)) - VDateTime(makeTime(2024, 2, 28, 0, 0, 0, 0)), 2 * kDay);
    // The day of the week is not consulted.
    EXPECT_EQ(VDateTime(makeTime(2025, 2, 3, 0, 0, 0, 0, 5)) - VDateTime(makeTime(2025, 2, 3, 0, 0, 0, 0, 1)), 0);
}

TEST(DateTime, InvalidDatesRaiseTheConversionError) {
    const SYSTEMTIME invalid = makeTime(2025, 13, 1, 0, 0, 0, 0);
    FILETIME unused;
    SetLastError(0);
    SystemTimeToFileTime(&invalid, &unused);
    const DWORD code = GetLastError();
    const VDateTime bad(invalid);
    const VDateTime good(makeTime(2025, 2, 3, 0, 0, 0, 0));
    expectOsError([&] { (void)(bad - good); }, code, L"SystemTimeToFileTime", "VDateTime::operator -");
    expectOsError([&] { (void)(good - bad); }, code, L"SystemTimeToFileTime", "VDateTime::operator -");

    const FILETIME outOfRange = fileTime(0x8000000000000000ull);
    SYSTEMTIME ignored;
    SetLastError(0);
    FileTimeToSystemTime(&outOfRange, &ignored);
    expectOsError([&] { VDateTime{outOfRange}; }, GetLastError(), L"FileTimeToSystemTime", "VDateTime::VDateTime");
}

TEST(DateTime, FileTimeConvertsWithoutTimeZoneShift) {
    // 2025-02-03T14:05:09.042Z, a Monday, in ticks since 1601-01-01 UTC.
    const VDateTime converted(fileTime(133830651090420000ull));
    const SYSTEMTIME& t = converted.systemTime();
    EXPECT_EQ(t.wYear, 2025);
    EXPECT_EQ(t.wMonth, 2);
    EXPECT_EQ(t.wDay, 3);
    EXPECT_EQ(t.wDayOfWeek, 1);
    EXPECT_EQ(t.wHour, 14);
    EXPECT_EQ(t.wMinute, 5);
    EXPECT_EQ(t.wSecond, 9);
    EXPECT_EQ(t.wMilliseconds, 42);
    EXPECT_EQ(VDateTime(fileTime(0)).logStamp(L"-"), L"1601-01-01 00:00:00.000");
}

TEST(DateTime, RendersZeroPaddedStamps) {
    const VDateTime stamp(makeTime(2025, 2, 3, 14, 5, 9, 42));
    EXPECT_EQ(stamp.compactStamp(), L"20250203T140509");
    EXPECT_EQ(stamp.logStamp(L"/"), L"2025/02/03 14:05:09.042");
    EXPECT_EQ(stamp.logStamp(L" - "), L"2025 - 02 - 03 14:05:09.042");
    EXPECT_EQ(stamp.logStamp(L""), L"20250203 14:05:09.042");
    EXPECT_EQ(stamp.dateStamp(), L"20250203");

    const VDateTime early(makeTime(5, 1, 2, 3, 4, 5, 6));
    EXPECT_EQ(early.compactStamp(), L"00050102T030405");
    EXPECT_EQ(early.logStamp(L"/"), L"0005/01/02 03:04:05.006");
    EXPECT_EQ(early.dateStamp(), L"00050102");
}

TEST(DateTime, NowMatchesTheSystemClock) {
    FILETIME systemNow;
    GetSystemTimeAsFileTime(&systemNow);
    const VDateTime utc = VDateTime::utcNow();
    const std::int64_t utcDrift = utc - VDateTime(systemNow);
    EXPECT_GE(utcDrift, 0);
    EXPECT_LT(utcDrift, 5000 * kMillisecond);

    SYSTEMTIME expectedLocal;
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc.systemTime(), &expectedLocal));
    const std::int64_t localDrift = VDateTime::localNow() - VDateTime(expectedLocal);
    EXPECT_GE(localDrift, 0);
    EXPECT_LT(localDrift, 5000 * kMillisecond);
}

TEST(UniqueNames, AreDistinctHyphenatedHexGuids) {
    for (const bool random : {true, false}) {
        SCOPED_TRACE(random ? "random" : "sequential");
        std::set<std::wstring> seen;
        for (int i = 0; i < 50; ++i) {
            const std::wstring name = RunTime::uniqueName(random);
            ASSERT_EQ(name.size(), 36u) << testing::PrintToString(name);
            for (std::size_t at = 0; at < name.size(); ++at) {
                if (at == 8 || at == 13 || at == 18 || at == 23)
                    EXPECT_EQ(name[at], L'-') << testing::PrintToString(name);
                else
                    EXPECT_TRUE(std::iswxdigit(name[at])) << testing::PrintToString(name);
            }
            EXPECT_TRUE(seen.insert(name).second) << "repeated " << testing::PrintToString(name);
        }
    }
}
