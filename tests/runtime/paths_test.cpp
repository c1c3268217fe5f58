// Path composition, normalisation, comparison and resolution. All of it is
// string logic except the platform path functions and the current directory.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

#include "errors/vexception.h"
#include "runtime/paths.h"

namespace {

// More than the classic 260-character limit in one component.
const std::wstring kLongName = std::wstring(300, L'n') + L".txt";
const std::wstring kWide = L"\u00c4rger-\u65e5\u672c-\u0436";  // "Ärger-日本-ж"

// The message of the vexception that absolutePath raises, or a marker when it does not.
std::wstring absoluteFailure(const std::wstring& base, const std::wstring& input) {
    try {
        const std::wstring result = RunTime::File::absolutePath(base, input);
        return L"(no failure: " + result + L")";
    } catch (const vexception& e) {
        EXPECT_EQ(typeid(e), typeid(vexception));
        return e.message();
    }
}

}  // namespace

TEST(Paths, NormalizeFoldsDotsAndSeparators) {
    EXPECT_EQ(VFileName::normalize(L"C:/a/./b/../c"), LR"(C:\a\c)");
    EXPECT_EQ(VFileName::normalize(LR"(C:\a\\b\\\)"), LR"(C:\a\b\)");
    EXPECT_EQ(VFileName::normalize(LR"(..\a)"), LR"(..\a)");
    EXPECT_EQ(VFileName::normalize(LR"(a\..\..\b)"), LR"(..\b)");
    EXPECT_EQ(VFileName::normalize(LR"(a\b\..\..\..\..)"), LR"(..\..)");
    // The drive is a component like any other.
    EXPECT_EQ(VFileName::normalize(LR"(C:\..)"), L"");
    EXPECT_EQ(VFileName::normalize(LR"(C:\..\x)"), L"x");
    EXPECT_EQ(VFileName::normalize(L""), L"");
    EXPECT_EQ(VFileName::normalize(L"."), L"");
}

TEST(Paths, NormalizeKeepsPrefixesAndOneEdgeSeparator) {
    EXPECT_EQ(VFileName::normalize(LR"(\\?\C:\x\..\y\)"), LR"(\\?\C:\y\)");
    EXPECT_EQ(VFileName::normalize(L"//?/C:/x"), LR"(\\?\C:\x)");
    EXPECT_EQ(VFileName::normalize(LR"(\\.\pipe\a\..\b)"), LR"(\\.\pipe\b)");
    EXPECT_EQ(VFileName::normalize(LR"(\\server\share\x)"), LR"(\server\share\x)");
    EXPECT_EQ(VFileName::normalize(LR"(\)"), LR"(\)");
    EXPECT_EQ(VFileName::normalize(LR"(\x\..\)"), LR"(\)");
    EXPECT_EQ(VFileName::normalize(LR"(C:\..\)"), LR"(\)");
}

TEST(Paths, ToLongPathPrefixesOnlyDriveLetterPaths) {
    EXPECT_EQ(VFileName::toLongPath(L"C:"), LR"(\\?\C:\)");
    EXPECT_EQ(VFileName::toLongPath(LR"(C:\)"), LR"(\\?\C:\)");
    EXPECT_EQ(VFileName::toLongPath(L"c:/a/./b/../c/"), LR"(\\?\c:\a\c\)");
    EXPECT_EQ(VFileName::toLongPath(LR"(C:\)" + kLongName), LR"(\\?\C:\)" + kLongName);
    for (const wchar_t* unchanged : {L"", L"C", LR"(rel\..\x)", LR"(\\server\share\..\x)", LR"(\\?\C:\a\..\b)",
                                     LR"(\rooted\.\x)"})
        EXPECT_EQ(VFileName::toLongPath(unchanged), unchanged);
}

TEST(Paths, CombineKeepsMoreBelowBase) {
    EXPECT_EQ(VFileName::combine(LR"(C:\data)", LR"(\logs\x.log)"), LR"(C:\data\logs\x.log)");
    EXPECT_EQ(VFileName::combine(LR"(C:\data)", L"//x"), LR"(C:\data\x)");
    EXPECT_EQ(VFileName::combine(LR"(C:\data\)", L"x"), LR"(C:\data\x)");
    EXPECT_EQ(VFileName::combine(LR"(C:\data)", LR"(..\x)"), LR"(C:\x)");
    EXPECT_EQ(VFileName::combine(L"rel", L"x"), LR"(rel\x)");
    EXPECT_EQ(VFileName::combine(LR"(\\server\share)", L"x"), LR"(\\server\share\x)");
    EXPECT_EQ(VFileName::combine(LR"(C:\)" + kWide, kWide), LR"(C:\)" + kWide + L"\\" + kWide);
}

TEST(Paths, CombineNeverReturnsTheLongPrefix) {
    EXPECT_EQ(VFileName::combine(LR"(\\?\C:\data)", L"x"), LR"(C:\data\x)");
    EXPECT_EQ(VFileName::combine(LR"(C:\)" + kLongName, kLongName), LR"(C:\)" + kLongName + L"\\" + kLongName);
    EXPECT_EQ(VFileName::combine(LR"(\\server\share\)" + kLongName, L"x"),
              LR"(\\server\share\)" + kLongName + LR"(\x)");
}

TEST(Paths, RemoveFileSpecCutsTheLastComponent) {
    EXPECT_EQ(VFileName::removeFileSpec(LR"(C:\a\b)"), LR"(C:\a)");
    EXPECT_EQ(VFileName::removeFileSpec(LR"(C:\a)"), LR"(C:\)");
    EXPECT_EQ(VFileName::removeFileSpec(LR"(C:\)"), LR"(C:\)");
    EXPECT_EQ(VFileName::removeFileSpec(L"C:"), LR"(C:\)");
    // A trailing separator ends an empty last component; only that goes.
    EXPECT_EQ(VFileName::removeFileSpec(L"C:/a/b/"), LR"(C:\a\b)");
    EXPECT_EQ(VFileName::removeFileSpec(LR"(C:\a\.\b\..\c\d)"), LR"(C:\a\c)");
    EXPECT_EQ(VFileName::removeFileSpec(LR"(\\?\C:\a\b)"), LR"(C:\a)");
    EXPECT_EQ(VFileName::removeFileSpec(LR"(rel\x)"), L"rel");
    EXPECT_EQ(VFileName::removeFileSpec(LR"(C:\)" + kLongName + LR"(\)" + kWide), LR"(C:\)" + kLongName);
}

TEST(Paths, RemoveFileSpecStaysOnTheShare) {
    EXPECT_EQ(VFileName::removeFileSpec(LR"(\\server\share\x\y)"), LR"(\\server\share\x)");
    EXPECT_EQ(VFileName::removeFileSpec(LR"(\\server\share\x)"), LR"(\\server\share)");
    EXPECT_EQ(VFileName::removeFileSpec(LR"(\\server\share)"), LR"(\\server\share)");
}

TEST(Paths, AbsolutePathOfDriveLetterInputIgnoresBase) {
    EXPECT_EQ(RunTime::File::absolutePath(L"", L"C:"), LR"(\\?\C:\)");
    EXPECT_EQ(RunTime::File::absolutePath(L"", LR"(C:\dir\.)"), LR"(\\?\C:\dir)");
    EXPECT_EQ(RunTime::File::absolutePath(L"", L"D:/logs//x.log"), LR"(\\?\D:\logs\x.log)");
    EXPECT_EQ(RunTime::File::absolutePath(LR"(C:\data)", LR"(D:\x\)"), LR"(\\?\D:\x)");
    EXPECT_EQ(RunTime::File::absolutePath(L"", LR"(C:\a\..\b\.\c\..)"), LR"(\\?\C:\b)");
    // Nothing on the file system is consulted.
    EXPECT_EQ(RunTime::File::absolutePath(L"", LR"(Q:\missing\)" + kWide), LR"(\\?\Q:\missing\)" + kWide);
}

TEST(Paths, AbsolutePathAppendsRelativeInputBelowBase) {
    EXPECT_EQ(RunTime::File::absolutePath(LR"(C:\data)", L"out.txt"), LR"(\\?\C:\data\out.txt)");
    EXPECT_EQ(RunTime::File::absolutePath(LR"(C:\data)", LR"(\x)"), LR"(\\?\C:\data\x)");
    EXPECT_EQ(RunTime::File::absolutePath(L"C://data//", L"a/./b/../c//"), LR"(\\?\C:\data\a\c)");
    EXPECT_EQ(RunTime::File::absolutePath(LR"(C:\data)", LR"(..\x)"), LR"(\\?\C:\x)");
    EXPECT_EQ(RunTime::File::absolutePath(LR"(C:\data)", L".."), LR"(\\?\C:\)");
    EXPECT_EQ(RunTime::File::absolutePath(LR"(\\?\C:\data)", LR"(a\..\x)"), LR"(\\?\C:\data\x)");
    EXPECT_EQ(RunTime::File::absolutePath(LR"(\\server\share)", L".."), LR"(\\server)");
    EXPECT_EQ(RunTime::File::absolutePath(LR"(C:\data)", L""), LR"(\\?\C:\data)");
    // A base given with a console name is an ordinary directory.
    EXPECT_EQ(RunTime::File::absolutePath(LR"(C:\data)", L"conout$"), LR"(\\?\C:\data\conout$)");
}

TEST(Paths, AbsolutePathKeepsNamesThatOnlyContainDots) {
    EXPECT_EQ(RunTime::File::absolutePath(LR"(C:\data)", LR"(.git\config)"), LR"(\\?\C:\data\.git\config)");
    EXPECT_EQ(RunTime::File::absolutePath(LR"(C:\data)", L"..."), LR"(\\?\C:\data\...)");
    EXPECT_EQ(RunTime::File::absolutePath(LR"(C:\data)", LR"(a..\b)"), LR"(\\?\C:\data\a..\b)");
    EXPECT_EQ(RunTime::File::absolutePath(LR"(C:\data)", LR"(a.\b)"), LR"(\\?\C:\data\a.\b)");
}

TEST(Paths, AbsolutePathPassesSharesDevicesAndConsolesThrough) {
    EXPECT_EQ(RunTime::File::absolutePath(L"", LR"(\\server\share\f)"), LR"(\\server\share\f)");
    EXPECT_EQ(RunTime::File::absolutePath(LR"(C:\data)", LR"(\\server\share\f\\)"), LR"(\\server\share\f)");
    EXPECT_EQ(RunTime::File::absolutePath(L"", LR"(\\.\pipe\x)"), LR"(\\.\pipe\x)");
    EXPECT_EQ(RunTime::File::absolutePath(L"", LR"(\\?\C:)"), LR"(\\?\C:\)");
    EXPECT_EQ(RunTime::File::absolutePath(L"", L"conout$"), L"conout$");
    EXPECT_EQ(RunTime::File::absolutePath(L"", L"CONIN$"), L"CONIN$");
}

TEST(Paths, AbsolutePathRejectsClimbingAboveTheRoot) {
    EXPECT_EQ(absoluteFailure(L"", LR"(C:\..\x)"), LR"(Invalid input path () + (C:\..\x))");
    EXPECT_EQ(absoluteFailure(L"", LR"(C:\a\..\..)"), LR"(Invalid input path () + (C:\a\..\..))");
    EXPECT_EQ(absoluteFailure(LR"(C:\data)", LR"(..\..)"), LR"(Invalid input path (C:\data) + (..\..))");
    EXPECT_EQ(absoluteFailure(LR"(C:\)", L".."), LR"(Invalid input path (C:\) + (..))");
    // The prefix is left out of the message.
    EXPECT_EQ(absoluteFailure(LR"(\\?\C:\data)", LR"(..\..\x)"), LR"(Invalid input path (C:\data) + (..\..\x))");
    EXPECT_EQ(absoluteFailure(LR"(\\server\share)", LR"(..\..)"), LR"(Invalid input path (\\server\share) + (..\..))");
}

TEST(Paths, AbsolutePathOfNothingIsInvalidParameter) {
    try {
        RunTime::File::absolutePath(L"", L"");
        FAIL() << "no failure";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(e.message().ends_with(L"(Error code 87) at Empty input path")) << e.message();
    }
}

TEST(Paths, AbsolutePathWithoutBaseUsesTheCurrentDirectory) {
    wchar_t saved[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, saved), 0u);
    wchar_t windows[MAX_PATH];
    ASSERT_NE(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    const std::wstring directory = windows;  // "X:\windows"
    const std::wstring drive = directory.substr(0, 3);
    ASSERT_TRUE(SetCurrentDirectoryW(directory.c_str()));

    EXPECT_EQ(RunTime::currentDirectory(), directory);
    EXPECT_EQ(RunTime::File::absolutePath(L"", L"out.txt"), LR"(\\?\)" + directory + LR"(\out.txt)");
    EXPECT_EQ(RunTime::File::absolutePath(L"", LR"(a\..\..\x)"), LR"(\\?\)" + drive + L"x");
    EXPECT_EQ(RunTime::File::absolutePath(L"", kWide + L"/" + kLongName),
              LR"(\\?\)" + directory + L"\\" + kWide + L"\\" + kLongName);
    EXPECT_EQ(absoluteFailure(L"", LR"(..\..\x)"), LR"(Invalid input path () + (..\..\x))");

    ASSERT_TRUE(SetCurrentDirectoryW(drive.c_str()));
    EXPECT_EQ(RunTime::File::absolutePath(L"", L"x"), LR"(\\?\)" + drive + L"x");
    EXPECT_EQ(RunTime::File::absolutePath(L"", L"."), LR"(\\?\)" + drive);

    EXPECT_TRUE(SetCurrentDirectoryW(saved));
}

TEST(Paths, ComparePathsIgnoresSpellingOfTheSamePath) {
    EXPECT_EQ(VFileName::comparePaths(L"c:/Data//x", LR"(\\?\C:\data\X\)"), 0);
    EXPECT_EQ(VFileName::comparePaths(LR"(\??\C:\x)", L"C:/X"), 0);
    EXPECT_EQ(VFileName::comparePaths(L"", L""), 0);
    EXPECT_EQ(VFileName::comparePaths(LR"(C:\)" + kWide + LR"(\)" + kLongName, L"C:/" + kWide + L"/" + kLongName + L"/"),
              0);
}

TEST(Paths, ComparePathsOrdersAncestorsAndSiblings) {
    EXPECT_EQ(VFileName::comparePaths(LR"(C:\a)", LR"(C:\a\b)"), 2);
    EXPECT_EQ(VFileName::comparePaths(LR"(C:\a\b\)", LR"(C:\A)"), 1);
    EXPECT_EQ(VFileName::comparePaths(LR"(C:\a)", LR"(C:\b)"), 3);
    EXPECT_EQ(VFileName::comparePaths(LR"(C:\B)", LR"(c:\a)"), 4);
    // The longer component orders after, whatever its letters.
    EXPECT_EQ(VFileName::comparePaths(LR"(C:\ab)", LR"(C:\b)"), 4);
    EXPECT_EQ(VFileName::comparePaths(LR"(C:\b)", LR"(C:\ab)"), 3);
    EXPECT_EQ(VFileName::comparePaths(LR"(C:\a\x)", LR"(C:\b)"), 3);
    // A file name that merely starts like the other is no descendant.
    EXPECT_EQ(VFileName::comparePaths(LR"(C:\a\b)", LR"(C:\a\bc)"), 3);
}

TEST(Paths, FileNamePartsFollowTheLastSeparatorAndDot) {
    EXPECT_EQ(VFileName::directory(LR"(C:\a\b.txt)"), LR"(C:\a)");
    EXPECT_EQ(VFileName::directory(LR"(C:\b.txt)"), L"C:");
    EXPECT_EQ(VFileName::directory(LR"(C:\a\\b.txt)"), LR"(C:\a)");
    EXPECT_EQ(VFileName::directory(L"b.txt"), L"");
    EXPECT_EQ(VFileName::fileName(LR"(C:\a\b.txt)"), L"b.txt");
    EXPECT_EQ(VFileName::fileName(L"C:/a/b.txt"), L"b.txt");
    EXPECT_EQ(VFileName::fileName(L"b.txt"), L"b.txt");
    EXPECT_EQ(VFileName::extension(LR"(C:\a\b.tar.gz)"), L".gz");
    EXPECT_EQ(VFileName::extension(LR"(C:\a.d\b)"), L"");
    EXPECT_EQ(VFileName::extension(LR"(C:\a\.git)"), L".git");
    EXPECT_EQ(VFileName::removeExtension(LR"(C:\a\b.tar.gz)"), LR"(C:\a\b.tar)");
    EXPECT_EQ(VFileName::removeExtension(LR"(C:\a.d\b)"), LR"(C:\a.d\b)");

    const std::wstring deep = LR"(C:\)" + kLongName + L"\\" + kWide + L".\u00fcml";
    EXPECT_EQ(VFileName::directory(deep), LR"(C:\)" + kLongName);
    EXPECT_EQ(VFileName::fileName(deep), kWide + L".\u00fcml");
    EXPECT_EQ(VFileName::extension(deep), L".\u00fcml");
    EXPECT_EQ(VFileName::removeExtension(deep), LR"(C:\)" + kLongName + L"\\" + kWide);
}

TEST(Paths, StriequalIgnoresCaseBeyondAscii) {
    EXPECT_TRUE(RunTime::striequal(L"CONOUT$", L"conout$"));
    EXPECT_TRUE(RunTime::striequal(L"\u00c4\u00d6\u0416", L"\u00e4\u00f6\u0436"));
    EXPECT_TRUE(RunTime::striequal(L"", L""));
    EXPECT_FALSE(RunTime::striequal(L"a", L"ab"));
    EXPECT_FALSE(RunTime::striequal(L"ab", L"a"));
    EXPECT_FALSE(RunTime::striequal(L"a", L"b"));
}
