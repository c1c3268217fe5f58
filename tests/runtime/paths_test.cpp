// Path composition, normalisation, comparison and resolution: string logic apart from the current directory.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <tuple>
#include <typeinfo>

#include "errors/vexception.h"
#include "runtime/paths.h"
#include "tests/support/platform.h"
#include "tests/support/process_runner.h"
#include "tests/support/raised.h"
#include "tests/support/temp_dir.h"

namespace {

// More than the classic 260-character limit in one component.
const std::wstring kLong = std::wstring(300, L'n') + L".txt";
const std::wstring kWide = L"\u00c4rger-\u65e5\u672c-\u0436";  // "Ärger-日本-ж"

// Each row: function(input, more) and what it gives, or the message of the plain vexception it raises.
using Row = std::array<std::wstring, 3>;
void expectRows(const std::function<std::wstring(const std::wstring&, const std::wstring&)>& function,
                std::initializer_list<Row> rows) {
    for (const auto& [input, more, expected] : rows) {
        try {
            EXPECT_EQ(function(input, more), expected) << testing::PrintToString(input + L" + " + more);
        } catch (const vexception& e) {
            EXPECT_EQ(typeid(e), typeid(vexception));
            EXPECT_EQ(e.message(), expected) << testing::PrintToString(input + L" + " + more);
        }
    }
}
// A function of one argument as a row function.
auto single(auto function) { return [=](const std::wstring& input, const std::wstring&) { return function(input); }; }

}  // namespace

TEST(Paths, ComposingFoldsDotsAndTakesNamesApartByTheirText) {
    expectRows(single(VFileName::normalize),
               {{LR"(a\b\..\..\..\..)", L"", LR"(..\..)"}, {L".", L"", L""},
                {LR"(C:\..\x)", L"", L"x"},  // the drive is a component like any other
                {L"//?/C:/x/../y/", L"", LR"(\\?\C:\y\)"}, {LR"(\\server\share\x)", L"", LR"(\server\share\x)"},
                {LR"(C:\..\)", L"", LR"(\)"}});  // one edge separator, never "\\", which would read as a share
    expectRows(VFileName::combine, {{LR"(C:\data)", L"//x", LR"(C:\data\x)"}, {LR"(C:\data)", LR"(..\x)", LR"(C:\x)"},
                                    {LR"(\\?\C:\)" + kWide, kLong, LR"(C:\)" + kWide + L"\\" + kLong}});
    expectRows(single(VFileName::removeFileSpec),
               {{L"C:", L"", LR"(C:\)"}, {LR"(\\?\C:\a\b\)", L"", LR"(C:\a\b)"}, {LR"(\\server\share)", L"", LR"(\\server\share)"}});
    // Bound by name on first use: a call proves the binding.
    // A long-form share name reads back as the share, not as a path below the root.
    expectRows(single(VFileName::withoutLongPrefix), {{LR"(\\?\UNC\server\share\x)", L"", LR"(\\server\share\x)"},
                                                      {LR"(\??\C:\x)", L"", LR"(C:\x)"}});
    expectRows(single(VFileName::extension), {{LR"(C:\a.b\c.txt)", L"", L".txt"}, {LR"(C:\a.b\c)", L"", L""}});
    expectRows(single(VFileName::removeExtension), {{LR"(C:\a.b\c.txt)", L"", LR"(C:\a.b\c)"}});
    expectRows(single(VFileName::directory), {{LR"(C:\)" + kLong + LR"(\b)", L"", LR"(C:\)" + kLong}});
    EXPECT_EQ(vosexception::composeMessage(ERROR_INVALID_PARAMETER, L"Empty input path"),
              test_support::messageOf<vosexception>([&] { RunTime::File::absolutePath(L"", L""); }));
}

// The full names that the rules of "File path formats on Windows systems" give, written out: nothing here asks the
// system to resolve a name. Only the current directory is the system's, a fresh one on a drive.
TEST(Paths, NamesResolveAsWindowsResolvesThemWithoutLengthLimit) {
    const test_support::TempDir temp(L"rdpaths");
    const std::wstring saved = RunTime::currentDirectory();
    ASSERT_TRUE(SetCurrentDirectoryW(temp.path().c_str()));
    const std::wstring w = temp.path(), drive = w.substr(0, 2), root = drive + L"\\";
    const std::wstring longW = LR"(\\?\)" + w;
    const auto resolve = RunTime::File::absolutePath;
    expectRows(resolve, {
        {L"", L"out.txt", longW + LR"(\out.txt)"}, {L"", drive + L"out.txt", longW + LR"(\out.txt)"},
        {L"", LR"(\logs\out.txt)", LR"(\\?\)" + root + LR"(logs\out.txt)"},
        {L"", L"/x", LR"(\\?\)" + root + L"x"},  // resolved here only: never opened
        {L"", w + LR"(\dots.txt.)", longW + LR"(\dots.txt)"}, {L"", L"out.txt  ", longW + LR"(\out.txt)"},
        {L"", LR"(a.\b. \..\c..\...)", longW + LR"(\a\c..)"},  // one dot off a folder, dots and blanks off the last
        {L"", w + LR"(\NUL)", LR"(\\.\NUL)"}, {L"", L"nul", LR"(\\.\nul)"}, {LR"(C:\data)", L"Lpt9", LR"(\\.\Lpt9)"},
        {L"", L"NUL.txt", longW + LR"(\NUL.txt)"}, {L"", L"COM0", longW + LR"(\COM0)"},
        {L"", L"//server/share/f", LR"(\\?\UNC\server\share\f)"}, {L"", LR"(\\server\share)", LR"(\\?\UNC\server\share)"},
        {LR"(\\server\share\dir)", L"..", LR"(\\?\UNC\server\share)"},
        {L"", L"" + w + L"\\" + kLong + LR"(\x.)", longW + L"\\" + kLong + LR"(\x)"},
        {L"", root, LR"(\\?\)" + root}, {L"", drive + L"\\.", LR"(\\?\)" + root},  // a bare root keeps its separator
        {L"", L"conout$", L"conout$"}, {LR"(C:\data)", L"conout$", LR"(\\?\C:\data\conout$)"},
        {L"", LR"(\\.\pipe\x\)", LR"(\\.\pipe\x)"}, {L"", LR"(\\?\C:\dots.)", LR"(\\?\C:\dots.)"},  // kept as written
        // With a base: a rooted name stays below it, a name with a drive or share does not.
        {LR"(C:\data)", L"D:/logs//x.log", LR"(\\?\D:\logs\x.log)"}, {LR"(C:\data)", LR"(\x)", LR"(\\?\C:\data\x)"},
        {L"C://data//", L"a/./b/../c//", LR"(\\?\C:\data\a\c)"}, {LR"(\\?\C:\data)", LR"(..\x)", LR"(\\?\C:\x)"},
        {LR"(C:\data)", LR"(\\server\share\f\\)", LR"(\\?\UNC\server\share\f)"},
        // Refused: a ".." above the drive or the share.
        {L"", LR"(C:\..\x)", LR"(Invalid input path () + (C:\..\x))"},  // without the long prefix
        {LR"(\\?\C:\data)", LR"(..\..\x)", LR"(Invalid input path (C:\data) + (..\..\x))"},
        {LR"(\\server\share)", L"..", LR"(Invalid input path (\\server\share) + (..))"}});
    // The file layer's long form: as Windows, ".." stays at the root, a separator at the end stays.
    expectRows(single(VFileName::toLongPath),
               {{drive + L"pid.txt", L"", longW + LR"(\pid.txt)"}, {L"c:/a/./b/../c/", L"", LR"(\\?\c:\a\c\)"},
                {LR"(C:\..\x)", L"", LR"(\\?\C:\x)"}, {LR"(\\server\share\..\x)", L"", LR"(\\?\UNC\server\share\x)"},
                {L"Q:x", L"", LR"(\\?\Q:\x)"}, {LR"(C:\.)", L"", LR"(\\?\C:\)"}, {LR"(\\?\C:\a.)", L"", LR"(\\?\C:\a.)"}});
    SetCurrentDirectoryW(saved.c_str());
}

// Only the text counts: two spellings of one file differ unless they differ in case, separators or the long prefix.
TEST(Paths, ComparingGoesComponentByComponentAndOrdersAncestorsFirst) {
    using Row = std::tuple<const wchar_t*, const wchar_t*, int>;
    for (const auto& [a, b, expected] : {Row{LR"(C:\t\out.txt)", L"c:/T//OUT.TXT/", 0},
                                          Row{LR"(\\?\C:\t\out.txt)", LR"(C:\t\out.txt)", 0},
                                          Row{LR"(C:\t\out.txt)", LR"(\??\C:\t\out.txt)", 0},
                                          Row{LR"(C:\t\out.txt)", LR"(C:\t\.\out.txt)", 4}, Row{LR"(C:\t)", LR"(C:\t\x)", 2},
                                          Row{LR"(\\?\C:\t\x)", LR"(C:\t)", 1}, Row{LR"(C:\a\z)", LR"(C:\B\a)", 3},
                                          Row{LR"(\t)", LR"(t)", 3}})  // a leading separator is an empty component
        EXPECT_EQ(VFileName::comparePaths(a, b), expected) << testing::PrintToString(std::wstring(a) + L" ~ " + b);
}

// A module's own path is read into a buffer of the classic length first: a path that fills it, or more, is read
// again into a larger one, never taken cut short. Copies of a DLL in folders of every length around the buffer's.
TEST(Paths, AModulesOwnPathIsTakenWholeAtAndPastTheBuffersLength) {
    const test_support::TempDir temp(L"rdmodule");
    const std::wstring name = L"\\p.dll";
    for (std::size_t length = 255; length <= 262; ++length) {
        std::wstring folder = temp.path();
        const auto enter = [&](const std::wstring& component) {
            folder += L"\\" + component;
            CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr);
        };
        enter(std::to_wstring(length));
        while (length - folder.size() - name.size() > 201) enter(std::wstring(150, L'd'));
        enter(std::wstring(length - folder.size() - name.size() - 1, L'e'));
        const std::wstring dll = L"\\\\?\\" + folder + name;
        ASSERT_EQ(folder.size() + name.size(), length);
        ASSERT_TRUE(CopyFileW(test_process::siblingPath(L"rdprobe.dll").c_str(), dll.c_str(), TRUE)) << GetLastError();
        const HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
        // Windows loads from past MAX_PATH only with long paths on; Wine has no such limit.
        if (!module && !test_support::runningUnderWine() && !test_support::longPathsSwitchedOn())
            GTEST_SKIP() << "long paths are switched off on this system: " << length;
        ASSERT_NE(module, nullptr) << length << " error " << GetLastError();
        EXPECT_EQ(VFileName::withoutLongPrefix(RunTime::modulePath(module)), folder + name) << length;
        FreeLibrary(module);
    }
}
