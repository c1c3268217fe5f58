// Path composition, normalisation, comparison and resolution. All of it is
// string logic except the platform path functions and the current directory.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <tuple>
#include <typeinfo>

#include "errors/vexception.h"
#include "runtime/paths.h"

namespace {

// More than the classic 260-character limit in one component.
const std::wstring kLongName = std::wstring(300, L'n') + L".txt";
const std::wstring kWide = L"\u00c4rger-\u65e5\u672c-\u0436";  // "Ärger-日本-ж"

struct Row {
    std::wstring input, expected;
};

void expectRows(const std::function<std::wstring(const std::wstring&)>& function, std::initializer_list<Row> rows) {
    for (const Row& row : rows) EXPECT_EQ(function(row.input), row.expected) << testing::PrintToString(row.input);
}

// expected is the result, or the message of the plain vexception raised.
void expectResolutions(std::initializer_list<std::array<std::wstring, 3>> rows) {
    for (const auto& [base, input, expected] : rows) {
        SCOPED_TRACE(testing::PrintToString(base) + " + " + testing::PrintToString(input));
        try {
            EXPECT_EQ(RunTime::File::absolutePath(base, input), expected);
        } catch (const vexception& e) {
            EXPECT_EQ(typeid(e), typeid(vexception));
            EXPECT_EQ(e.message(), expected);
        }
    }
}

}  // namespace

TEST(Paths, NormalizeFoldsDotsAndSeparatorsAndOnlyDriveLetterPathsGetTheLongPrefix) {
    expectRows(VFileName::normalize, {{LR"(C:\a\\b\\\)", LR"(C:\a\b\)"}, {LR"(..\a)", LR"(..\a)"},
                                      {LR"(a\..\..\b)", LR"(..\b)"},
                                      {LR"(a\b\..\..\..\..)", LR"(..\..)"}, {L".", L""},
                                      {LR"(C:\..\x)", L"x"},  // the drive is a component like any other
                                      {LR"(\\?\C:\x\..\y\)", LR"(\\?\C:\y\)"}, {L"//?/C:/x", LR"(\\?\C:\x)"},
                                      {LR"(\\.\pipe\a\..\b)", LR"(\\.\pipe\b)"},
                                      {LR"(\\server\share\x)", LR"(\server\share\x)"},
                                      // One edge separator, never "\\", which would read as a share.
                                      {LR"(\x\..\)", LR"(\)"}, {LR"(C:\..\)", LR"(\)"}});
    expectRows(VFileName::toLongPath, {{L"C:", LR"(\\?\C:\)"}, {L"c:/a/./b/../c/", LR"(\\?\c:\a\c\)"},
                                       {LR"(C:\)" + kLongName, LR"(\\?\C:\)" + kLongName}});
    for (const wchar_t* same :
         {L"", L"C", LR"(rel\..\x)", LR"(\\server\share\..\x)", LR"(\\?\C:\a\..\b)", LR"(\rooted\.\x)"})
        EXPECT_EQ(VFileName::toLongPath(same), same);
}

TEST(Paths, CombineAndRemoveFileSpecStayBelowTheBaseOrOnTheShareWithoutTheLongPrefix) {
    const std::wstring rows[][3] = {
        {LR"(C:\data)", L"//x", LR"(C:\data\x)"}, {LR"(C:\data\)", L"x", LR"(C:\data\x)"},
        {LR"(C:\data)", LR"(..\x)", LR"(C:\x)"}, {L"rel", L"x", LR"(rel\x)"},
        {LR"(\\server\share)", L"x", LR"(\\server\share\x)"}, {LR"(\\?\C:\data)", L"x", LR"(C:\data\x)"},
        {LR"(C:\)" + kWide, kLongName, LR"(C:\)" + kWide + L"\\" + kLongName},
        {LR"(\\server\share\)" + kLongName, L"x", LR"(\\server\share\)" + kLongName + LR"(\x)"}};
    for (const auto& [base, more, expected] : rows) EXPECT_EQ(VFileName::combine(base, more), expected) << base;

    expectRows(VFileName::removeFileSpec,
               {{LR"(C:\a)", LR"(C:\)"}, {LR"(C:\)", LR"(C:\)"}, {L"C:", LR"(C:\)"},
                {L"C:/a/b/", LR"(C:\a\b)"},  // a trailing separator ends an empty last component; only that goes
                {LR"(\\?\C:\a\b)", LR"(C:\a)"}, {LR"(rel\x)", L"rel"},
                {LR"(C:\)" + kLongName + LR"(\)" + kWide, LR"(C:\)" + kLongName},
                {LR"(\\server\share\x\y)", LR"(\\server\share\x)"}, {LR"(\\server\share\x)", LR"(\\server\share)"},
                {LR"(\\server\share)", LR"(\\server\share)"}});
}

TEST(Paths, AbsolutePathResolvesAgainstBaseWithoutTouchingTheFileSystem) {
    expectResolutions({
        // Drive-letter input ignores the base.
        {L"", L"C:", LR"(\\?\C:\)"}, {L"", LR"(C:\dir\.)", LR"(\\?\C:\dir)"},
        {L"", L"D:/logs//x.log", LR"(\\?\D:\logs\x.log)"}, {LR"(C:\data)", LR"(D:\x\)", LR"(\\?\D:\x)"},
        {L"", LR"(C:\a\..\b\.\c\..)", LR"(\\?\C:\b)"}, {L"", LR"(Q:\no\)" + kWide, LR"(\\?\Q:\no\)" + kWide},
        // Relative input goes below the base, even with a leading separator.
        {LR"(C:\data)", LR"(\x)", LR"(\\?\C:\data\x)"}, {L"C://data//", L"a/./b/../c//", LR"(\\?\C:\data\a\c)"},
        {LR"(C:\data)", LR"(..\x)", LR"(\\?\C:\x)"}, {LR"(C:\data)", L"..", LR"(\\?\C:\)"},
        {LR"(\\?\C:\data)", LR"(a\..\x)", LR"(\\?\C:\data\x)"}, {LR"(\\server\share)", L"..", LR"(\\server)"},
        {LR"(C:\data)", L"", LR"(\\?\C:\data)"},
        {LR"(C:\data)", L"conout$", LR"(\\?\C:\data\conout$)"},  // a console name only without base
        // "." and ".." count only as whole components.
        {LR"(C:\data)", LR"(.git\config)", LR"(\\?\C:\data\.git\config)"}, {LR"(C:\d)", L"...", LR"(\\?\C:\d\...)"},
        {LR"(C:\d)", LR"(a..\b)", LR"(\\?\C:\d\a..\b)"}, {LR"(C:\d)", LR"(a.\b)", LR"(\\?\C:\d\a.\b)"},
        // Shares, devices, long paths and consoles pass through.
        {LR"(C:\data)", LR"(\\server\share\f\\)", LR"(\\server\share\f)"}, {L"", LR"(\\.\pipe\x)", LR"(\\.\pipe\x)"},
        {L"", LR"(\\?\C:)", LR"(\\?\C:\)"}, {L"", L"conout$", L"conout$"}, {L"", L"CONIN$", L"CONIN$"},
        // Device names stay devices, with or without base; in long form below
        // a directory they would become files of reserved names.
        {L"", L"NUL", L"NUL"}, {LR"(C:\data)", L"com1", L"com1"}, {LR"(C:\data)", L"Lpt9", L"Lpt9"},
        {LR"(C:\data)", L"NULL", LR"(\\?\C:\data\NULL)"}, {LR"(C:\data)", L"COM0", LR"(\\?\C:\data\COM0)"},
        // Never above the root; the message leaves the long prefix out.
        {L"", LR"(C:\..\x)", LR"(Invalid input path () + (C:\..\x))"},
        {LR"(C:\data)", LR"(..\..)", LR"(Invalid input path (C:\data) + (..\..))"},
        {LR"(C:\)", L"..", LR"(Invalid input path (C:\) + (..))"},
        {LR"(\\?\C:\data)", LR"(..\..\x)", LR"(Invalid input path (C:\data) + (..\..\x))"},
        {LR"(\\server\share)", LR"(..\..)", LR"(Invalid input path (\\server\share) + (..\..))"},
    });
    try {
        RunTime::File::absolutePath(L"", L"");
        FAIL() << "no failure";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(e.message().ends_with(L"(Error code 87) at Empty input path")) << e.message();
    }
    // The comparison behind the console names ignores case beyond ASCII, but not length.
    EXPECT_TRUE(RunTime::striequal(L"\u00c4\u00d6\u0416", L"\u00e4\u00f6\u0436"));
    EXPECT_FALSE(RunTime::striequal(L"a", L"ab"));
}

TEST(Paths, AbsolutePathWithoutBaseUsesTheCurrentDirectory) {
    wchar_t saved[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, saved), 0u);
    wchar_t windows[MAX_PATH];
    ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    const std::wstring directory = windows;  // "X:\windows"
    const std::wstring drive = directory.substr(0, 3);
    ASSERT_TRUE(SetCurrentDirectoryW(directory.c_str()));
    expectResolutions({{L"", LR"(a\..\..\x)", LR"(\\?\)" + drive + L"x"},
                       {L"", kWide + L"/" + kLongName, LR"(\\?\)" + directory + L"\\" + kWide + L"\\" + kLongName},
                       {L"", LR"(..\..\x)", LR"(Invalid input path () + (..\..\x))"}});
    ASSERT_TRUE(SetCurrentDirectoryW(drive.c_str()));
    expectResolutions({{L"", L"x", LR"(\\?\)" + drive + L"x"}, {L"", L".", LR"(\\?\)" + drive}});
    EXPECT_TRUE(SetCurrentDirectoryW(saved));
}

TEST(Paths, ComparePathsIgnoresSpellingAndOrdersAncestorsAndSiblings) {
    const std::tuple<std::wstring, std::wstring, int> rows[] = {
        {L"c:/Data//x", LR"(\\?\C:\data\X\)", 0}, {LR"(\??\C:\x)", L"C:/X", 0},
        {LR"(C:\)" + kWide + LR"(\)" + kLongName, L"C:/" + kWide + L"/" + kLongName + L"/", 0},
        {LR"(C:\a)", LR"(C:\a\b)", 2}, {LR"(C:\a\b\)", LR"(C:\A)", 1}, {LR"(C:\a)", LR"(C:\b)", 3},
        {LR"(C:\B)", LR"(c:\a)", 4}, {LR"(C:\a\x)", LR"(C:\b)", 3},
        // The longer component orders after, whatever its letters; a name
        // that merely starts like the other is no descendant.
        {LR"(C:\ab)", LR"(C:\b)", 4}, {LR"(C:\b)", LR"(C:\ab)", 3}, {LR"(C:\a\b)", LR"(C:\a\bc)", 3}};
    for (const auto& [a, b, expected] : rows) EXPECT_EQ(VFileName::comparePaths(a, b), expected) << a << L" vs " << b;
}

TEST(Paths, FileNamePartsFollowTheLastSeparatorAndDot) {
    const std::wstring deep = LR"(C:\)" + kLongName + L"\\" + kWide + L".\u00fcml";
    expectRows(VFileName::directory, {{LR"(C:\b.txt)", L"C:"}, {LR"(C:\a\\b.txt)", LR"(C:\a)"}, {L"b.txt", L""},
                                      {deep, LR"(C:\)" + kLongName}});
    expectRows(VFileName::fileName, {{L"C:/a/b.txt", L"b.txt"}, {deep, kWide + L".\u00fcml"}});
    expectRows(VFileName::extension, {{LR"(C:\a\b.tar.gz)", L".gz"}, {LR"(C:\a.d\b)", L""},
                                      {LR"(C:\a\.git)", L".git"}, {deep, L".\u00fcml"}});
    expectRows(VFileName::removeExtension, {{LR"(C:\a\b.tar.gz)", LR"(C:\a\b.tar)"}, {LR"(C:\a.d\b)", LR"(C:\a.d\b)"},
                                            {deep, LR"(C:\)" + kLongName + L"\\" + kWide}});
}
