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

// action must raise the OS error that the direct system call leaves as the last
// error, for operation, raised in function; the text is the system's or "Unknown error".
void expectOsError(const std::function<void()>& action, const std::function<void()>& direct,
                   const std::wstring& operation, const std::string& function) {
    SetLastError(0);
    direct();
    const DWORD code = GetLastError();
    ASSERT_NE(code, 0u) << "the direct call did not fail";
    const std::wstring text = test_support::systemText(code);
    try {
        action();
        ADD_FAILURE() << "no exception";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), code);
        EXPECT_EQ(e.message(), (text.empty() ? L"Unknown error" : text) + L" (Error code " + std::to_wstring(code) +
                                   L") at " + operation);
        ASSERT_FALSE(e.chain().empty());
        EXPECT_EQ(e.chain().front().function, function);
    }
}

SYSTEMTIME makeTime(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0,
                    WORD millisecond = 0, WORD dayOfWeek = 0) {
    return SYSTEMTIME{year, month, dayOfWeek, day, hour, minute, second, millisecond};
}

FILETIME fileTime(std::uint64_t ticks) {
    return FILETIME{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

constexpr std::int64_t kMillisecond = 10'000;
constexpr std::int64_t kDay = 86'400'000 * kMillisecond;

}  // namespace

TEST(CodePages, ConvertByExplicitLengthReplaceWhatIsMalformedAndRaiseTheSystemError) {
    // Empty text never reaches the platform: this code page would fail any real conversion.
    EXPECT_EQ(cstr(L"", kNoSuchCodePage), "");
    EXPECT_EQ(wstr("", kNoSuchCodePage), L"");

    const std::wstring mixed = L"A\u00e9\u20ac\U0001F600\U00010348z";  // every UTF-8 encoding length
    const std::string encoded = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF0\x90\x8D\x88z";
    EXPECT_EQ(cstr(mixed, kUtf8), encoded);
    EXPECT_EQ(wstr(encoded, kUtf8), mixed);
    EXPECT_EQ(cstr(std::wstring(L"a\0b", 3), kUtf8), std::string("a\0b", 3));
    EXPECT_EQ(wstr(std::string("a\0b", 3), kUtf8), std::wstring(L"a\0b", 3));

    // Without MB_ERR_INVALID_CHARS the system substitutes U+FFFD instead of failing.
    EXPECT_EQ(wstr("a\xFF" "b", kUtf8), L"a\uFFFDb");
    EXPECT_EQ(wstr("a\xC3", kUtf8), L"a\uFFFD");
    const wchar_t loneSurrogate[] = {L'a', 0xD800, L'b'};
    EXPECT_EQ(cstr(std::wstring(loneSurrogate, 3), kUtf8), "a\xEF\xBF\xBD" "b");

    // A code page that does not exist fails with the system's error.
    expectOsError([] { wstr("ab", kNoSuchCodePage); },
                  [] { MultiByteToWideChar(kNoSuchCodePage, 0, "ab", 2, nullptr, 0); },
                  L"Maps a character string to a wide-character (Unicode) string failed", "wstr");
    expectOsError([] { cstr(L"ab", kNoSuchCodePage); },
                  [] { WideCharToMultiByte(kNoSuchCodePage, 0, L"ab", 2, nullptr, 0, nullptr, nullptr); },
                  L"Maps a wide-character (Unicode) string to a character stringz", "cstr");
}

TEST(TextHelpers, TrimRightSpaceRemovesOnlyTrailingWhiteSpace) {
    EXPECT_EQ(trimRightSpace(L"  a b \t\r\n\v\f"), L"  a b");
    EXPECT_EQ(trimRightSpace(L" \t\r\n "), L"");
}

TEST(DateTime, ComparesFieldsByRankIgnoringDayOfWeek) {
    EXPECT_TRUE(VDateTime(makeTime(2025, 2, 3, 14, 5, 9, 42, 1)) == VDateTime(makeTime(2025, 2, 3, 14, 5, 9, 42, 0)));
    // A later value in a higher field wins over larger values in every lower one.
    const SYSTEMTIME earlierLater[][2] = {
        {makeTime(2024, 12, 31, 23, 59, 59, 999), makeTime(2025, 1, 1)},
        {makeTime(2025, 1, 31, 23, 59, 59, 999), makeTime(2025, 2, 1)},
        {makeTime(2025, 2, 1, 23, 59, 59, 999), makeTime(2025, 2, 2)},
        {makeTime(2025, 2, 2, 0, 59, 59, 999), makeTime(2025, 2, 2, 1)},
        {makeTime(2025, 2, 2, 1, 0, 59, 999), makeTime(2025, 2, 2, 1, 1)},
        {makeTime(2025, 2, 2, 1, 1, 0, 999), makeTime(2025, 2, 2, 1, 1, 1)},
        {makeTime(2025, 2, 2, 1, 1, 1, 0), makeTime(2025, 2, 2, 1, 1, 1, 1)},
        {makeTime(2025, 1, 1), makeTime(0x9000, 1, 1)},  // fields are unsigned: a year above 32767 is later
    };
    for (std::size_t row = 0; row < std::size(earlierLater); ++row) {
        const VDateTime earlier(earlierLater[row][0]), later(earlierLater[row][1]);
        EXPECT_EQ(VDateTime::compare(later, earlier), 1) << "row " << row;
        EXPECT_EQ(VDateTime::compare(earlier, later), -1) << "row " << row;
    }
}

TEST(DateTime, DifferenceIsIn100NanosecondUnitsOrTheConversionError) {
    const VDateTime stamp(makeTime(2025, 2, 3, 14, 5, 9, 42));
    const VDateTime dayBefore(makeTime(2025, 2, 2, 14, 5, 9, 41));
    EXPECT_EQ(stamp - dayBefore, kDay + kMillisecond);
    EXPECT_EQ(dayBefore - stamp, -(kDay + kMillisecond));
    EXPECT_EQ(VDateTime(makeTime(2025, 1, 1)) - VDateTime(makeTime(2024, 12, 31, 23, 59, 59, 999)), kMillisecond);
    EXPECT_EQ(VDateTime(makeTime(2024, 3, 1)) - VDateTime(makeTime(2024, 2, 28)), 2 * kDay);

    // Either side may be the invalid one.
    const SYSTEMTIME invalid = makeTime(2025, 13, 1);
    FILETIME unused;
    const auto direct = [&] { SystemTimeToFileTime(&invalid, &unused); };
    const char* const where = "VDateTime::operator -";
    expectOsError([&] { (void)(VDateTime(invalid) - stamp); }, direct, L"SystemTimeToFileTime", where);
    expectOsError([&] { (void)(stamp - VDateTime(invalid)); }, direct, L"SystemTimeToFileTime", where);
}

TEST(DateTime, FileTimeConvertsWithoutTimeZoneShiftAndRendersZeroPadded) {
    // 2025-02-03T14:05:09.042Z, a Monday, in ticks since 1601-01-01 UTC.
    const VDateTime stamp(fileTime(133830651090420000ull));
    EXPECT_EQ(stamp.systemTime().wDayOfWeek, 1);
    EXPECT_EQ(stamp.logStamp(L" - "), L"2025 - 02 - 03 14:05:09.042");
    EXPECT_EQ(stamp.logStamp(L""), L"20250203 14:05:09.042");
    EXPECT_EQ(stamp.compactStamp(), L"20250203T140509");
    EXPECT_EQ(stamp.dateStamp(), L"20250203");
    EXPECT_EQ(VDateTime(fileTime(0)).logStamp(L"-"), L"1601-01-01 00:00:00.000");

    const VDateTime early(makeTime(5, 1, 2, 3, 4, 5, 6));
    EXPECT_EQ(early.compactStamp(), L"00050102T030405");
    EXPECT_EQ(early.logStamp(L"/"), L"0005/01/02 03:04:05.006");
    EXPECT_EQ(early.dateStamp(), L"00050102");

    const FILETIME outOfRange = fileTime(0x8000000000000000ull);
    SYSTEMTIME ignored;
    expectOsError([&] { VDateTime{outOfRange}; }, [&] { FileTimeToSystemTime(&outOfRange, &ignored); },
                  L"FileTimeToSystemTime", "VDateTime::VDateTime");
}

TEST(DateTime, NowLiesBetweenTwoReadingsOfTheSystemClock) {
    // An ordering of readings, not a bound on how long anything took.
    FILETIME before, after;
    GetSystemTimeAsFileTime(&before);
    const VDateTime utc = VDateTime::utcNow();
    const VDateTime local = VDateTime::localNow();
    GetSystemTimeAsFileTime(&after);
    SYSTEMTIME localBefore, localAfter;
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &VDateTime(before).systemTime(), &localBefore));
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &VDateTime(after).systemTime(), &localAfter));
    EXPECT_FALSE(utc < VDateTime(before) || VDateTime(after) < utc);
    EXPECT_FALSE(local < VDateTime(localBefore) || VDateTime(localAfter) < local);
}

TEST(UniqueNames, AreDistinctHyphenatedHexGuids) {
    for (const bool random : {true, false}) {
        std::set<std::wstring> seen;
        for (int i = 0; i < 50; ++i) {
            const std::wstring name = RunTime::uniqueName(random);
            std::wstring shape = name;
            for (wchar_t& c : shape)
                if (std::iswxdigit(c)) c = L'x';
            EXPECT_EQ(shape, L"xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx") << testing::PrintToString(name);
            EXPECT_TRUE(seen.insert(name).second) << "repeated " << testing::PrintToString(name);
        }
    }
}
