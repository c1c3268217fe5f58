// Code-page conversion with bad input, date-time stamps and the environment loader (the process's own: any task run).
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "errors/vexception.h"
#include "runtime/datetime.h"
#include "runtime/environment.h"
#include "runtime/text.h"
#include "tests/support/raised.h"

namespace {

constexpr std::uint32_t kNoSuchCodePage = 12345;

// The OS error action raises, as "message|function".
std::wstring raised(const std::function<void()>& action) {
    return test_support::messageOf<vosexception>(
        action, [](const vosexception& e) { return e.message() + L"|" + wstr(e.chain().front().function, 0); });
}

}  // namespace

TEST(CodePages, ConvertByExplicitLengthReplaceWhatIsMalformedAndRaiseTheSystemError) {
    // Empty text never reaches the platform: this code page would fail any real conversion.
    EXPECT_TRUE(cstr(L"", kNoSuchCodePage).empty() && wstr("", kNoSuchCodePage).empty());
    const std::wstring mixed(L"A\u00e9\u20ac\U0001F600\0z", 7);  // every UTF-8 length and a zero
    const std::string encoded("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\0z", 12);
    EXPECT_EQ(cstr(mixed, CP_UTF8), encoded);
    EXPECT_EQ(wstr(encoded, CP_UTF8), mixed);
    // Malformed input is replaced, never refused.
    EXPECT_EQ(wstr("a\xFF" "b\xC3", CP_UTF8), L"a\uFFFDb\uFFFD");
    EXPECT_EQ(cstr(std::wstring{L'a', static_cast<wchar_t>(0xD800)}, CP_UTF8), "a\xEF\xBF\xBD");
    const auto invalid = [](const wchar_t* op) { return vosexception::composeMessage(ERROR_INVALID_PARAMETER, op); };
    EXPECT_EQ(raised([] { wstr("ab", kNoSuchCodePage); }),
              invalid(L"Maps a character string to a wide-character (Unicode) string failed") + L"|wstr");
    EXPECT_EQ(raised([] { cstr(L"ab", kNoSuchCodePage); }),
              invalid(L"Maps a wide-character (Unicode) string to a character stringz") + L"|cstr");
}

// The stamps name report files; a file time converts without time-zone shift.
TEST(DateTime, FileTimesConvertUnshiftedAndStampsAreZeroPadded) {
    const std::uint64_t ticks = 133830651090420000ull;  // 2025-02-03T14:05:09.042Z
    const VDateTime stamp(FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)});
    EXPECT_EQ(stamp.logStamp(L" - "), L"2025 - 02 - 03 14:05:09.042");
    const VDateTime early(SYSTEMTIME{5, 1, 0, 2, 3, 4, 5, 6});
    EXPECT_EQ(early.compactStamp() + L" " + early.logStamp(L"/") + L" " + early.dateStamp(),
              L"00050102T030405 0005/01/02 03:04:05.006 00050102");
    EXPECT_TRUE(raised([] { VDateTime{FILETIME{0, 0x80000000u}}; })
                    .ends_with(L" at FileTimeToSystemTime|VDateTime::VDateTime"));
}

using Entries = std::vector<std::pair<std::wstring, std::wstring>>;

// A name keeps its first spelling and takes the last value; an entry without "=" has an empty value; the per-drive
// directories ("=C:=C:\x") share the empty name, the last one's value winning.
TEST(Environment, NamesKeepTheirFirstSpellingAndTheDriveDirectoriesShareTheEmptyName) {
    EnvironmentMap map{{L"path", L"old"}, {L"Kept", L"1"}};
    VEnvironmentVariables::load(map, L"Path=a\0PATH=b;c=d\0=C:=C:\\x\0=D:=D:\\y\0FLAG\0Empty=\0");
    EXPECT_EQ(Entries(map.begin(), map.end()), (Entries{{L"", L"D:=D:\\y"}, {L"Empty", L""}, {L"FLAG", L""},
                                                        {L"Kept", L"1"}, {L"path", L"b;c=d"}}));
    EXPECT_THROW(VEnvironmentVariables::load(map, nullptr), vexception);
}
