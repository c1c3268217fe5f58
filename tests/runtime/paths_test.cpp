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
#include "tests/support/raised.h"

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

TEST(Paths, ComposingFoldsDotsOnlyDriveLetterPathsGetTheLongPrefixAndResolvingStaysBelowTheRoot) {
    expectRows(single(VFileName::normalize),
               {{LR"(a\b\..\..\..\..)", L"", LR"(..\..)"}, {L".", L"", L""},
                {LR"(C:\..\x)", L"", L"x"},  // the drive is a component like any other
                {L"//?/C:/x/../y/", L"", LR"(\\?\C:\y\)"}, {LR"(\\server\share\x)", L"", LR"(\server\share\x)"},
                {LR"(C:\..\)", L"", LR"(\)"}});  // one edge separator, never "\\", which would read as a share
    expectRows(single(VFileName::toLongPath), {{L"C:", L"", LR"(\\?\C:\)"}, {L"c:/a/./b/../c/", L"", LR"(\\?\c:\a\c\)"},
                                               {LR"(\\server\share\..\x)", L"", LR"(\\server\share\..\x)"}});
    expectRows(VFileName::combine, {{LR"(C:\data)", L"//x", LR"(C:\data\x)"}, {LR"(C:\data)", LR"(..\x)", LR"(C:\x)"},
                                    {LR"(\\?\C:\)" + kWide, kLong, LR"(C:\)" + kWide + L"\\" + kLong}});
    expectRows(single(VFileName::removeFileSpec),
               {{L"C:", L"", LR"(C:\)"}, {LR"(\\?\C:\a\b\)", L"", LR"(C:\a\b)"}, {LR"(\\server\share)", L"", LR"(\\server\share)"}});
    // Bound by name on first use: a call proves the binding.
    expectRows(single(VFileName::extension), {{LR"(C:\a.b\c.txt)", L"", L".txt"}, {LR"(C:\a.b\c)", L"", L""}});
    expectRows(single(VFileName::removeExtension), {{LR"(C:\a.b\c.txt)", L"", LR"(C:\a.b\c)"}});
    expectRows(single(VFileName::directory), {{LR"(C:\)" + kLong + LR"(\b)", L"", LR"(C:\)" + kLong}});
    const auto resolve = RunTime::File::absolutePath;
    expectRows(resolve, {
        {LR"(C:\data)", L"D:/logs//x.log", LR"(\\?\D:\logs\x.log)"},  // drive-letter input ignores the base
        {LR"(C:\data)", LR"(\x)", LR"(\\?\C:\data\x)"},  // relative input goes below it, even with a leading separator
        {L"C://data//", L"a/./b/../c//", LR"(\\?\C:\data\a\c)"}, {LR"(\\?\C:\data)", LR"(..\x)", LR"(\\?\C:\x)"},
        {LR"(\\server\share)", L"..", LR"(\\server)"}, {LR"(C:\d)", LR"(.git\a..\...)", LR"(\\?\C:\d\.git\a..\...)"},
        {L"", LR"(\\.\pipe\x)", LR"(\\.\pipe\x)"}, {LR"(C:\data)", LR"(\\server\share\f\\)", LR"(\\server\share\f)"},
        // Devices and consoles stay as they are; in long form below a directory they would be files of reserved names.
        {L"", L"conout$", L"conout$"}, {LR"(C:\data)", L"conout$", LR"(\\?\C:\data\conout$)"},
        {LR"(C:\data)", L"Lpt9", L"Lpt9"}, {LR"(C:\data)", L"COM0", LR"(\\?\C:\data\COM0)"},
        {L"", LR"(C:\..\x)", LR"(Invalid input path () + (C:\..\x))"},  // without the long prefix
        {LR"(\\?\C:\data)", LR"(..\..\x)", LR"(Invalid input path (C:\data) + (..\..\x))"},
        {LR"(\\server\share)", LR"(..\..)", LR"(Invalid input path (\\server\share) + (..\..))"}});
    EXPECT_EQ(vosexception::composeMessage(ERROR_INVALID_PARAMETER, L"Empty input path"),
              test_support::messageOf<vosexception>([&] { resolve(L"", L""); }));
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
