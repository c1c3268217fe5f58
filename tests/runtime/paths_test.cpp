// Path composition, normalisation, comparison and resolution: string logic apart from the current directory.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string>
#include <tuple>
#include <typeinfo>

#include "errors/vexception.h"
#include "runtime/files.h"
#include "runtime/paths.h"
#include "tests/support/platform.h"
#include "tests/support/process_runner.h"
#include "tests/support/raised.h"
#include "tests/support/temp_dir.h"

namespace {

// More than the classic 260-character limit in one component.
const std::wstring kLong = std::wstring(300, L'n') + L".txt";
const std::wstring kWide = L"\u00c4rger-\u65e5\u672c-\u0436";  // "Ärger-日本-ж"
// A volume's name, which exists only with its long prefix.
const std::wstring kVolume = LR"(\\?\Volume{00000000-0000-0000-0000-000000000001})";

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
                                    {LR"(\\?\C:\)" + kWide, kLong, LR"(C:\)" + kWide + L"\\" + kLong},
                                    {kVolume + LR"(\dumps)", L"*.dmp", kVolume + LR"(\dumps\*.dmp)"}});
    expectRows(single(VFileName::removeFileSpec),
               {{L"C:", L"", LR"(C:\)"}, {LR"(\\?\C:\a\b\)", L"", LR"(C:\a\b)"}, {LR"(\\server\share)", L"", LR"(\\server\share)"},
                {kVolume + LR"(\dumps\x.dmp)", L"", kVolume + LR"(\dumps)"}});
    // Bound by name on first use: a call proves the binding.
    // A long-form share name reads back as the share, not as a path below the root; a volume's stays whole.
    expectRows(single(VFileName::withoutLongPrefix),
               {{LR"(\\?\UNC\server\share\x)", L"", LR"(\\server\share\x)"}, {LR"(\??\C:\x)", L"", LR"(C:\x)"},
                {LR"(\\?\GLOBALROOT\Device\X)", L"", LR"(\\?\GLOBALROOT\Device\X)"}});
    expectRows(single(VFileName::extension), {{LR"(C:\a.b\c.txt)", L"", L".txt"}, {LR"(C:\a.b\c)", L"", L""}});
    expectRows(single(VFileName::removeExtension), {{LR"(C:\a.b\c.txt)", L"", LR"(C:\a.b\c)"}});
    expectRows(single(VFileName::directory), {{LR"(C:\)" + kLong + LR"(\b)", L"", LR"(C:\)" + kLong}});
    EXPECT_EQ(vosexception::composeMessage(ERROR_INVALID_PARAMETER, L"Empty input path"),
              test_support::messageOf<vosexception>([&] { RunTime::File::absolutePath(L"", L""); }));
}

// The full names Windows gives, written out: the code asks GetFullPathNameW for them, the test asks nothing. Windows 11
// and Server 2025 (build 22000 on) take a device name only as the whole name, NUL also as a name's last part; older
// ones take a last part that starts with one, as Wine does. Only the current directory is the system's, a fresh one.
struct Names {
    Names() : saved(RunTime::currentDirectory()) { SetCurrentDirectoryW(temp.path().c_str()); }
    ~Names() { SetCurrentDirectoryW(saved.c_str()); }
    // The older Windows' answer, or the newer one's where they differ.
    std::wstring either(const std::wstring& older, const std::wstring& newer) const {
        return !test_support::runningUnderWine() && test_support::windowsBuild() >= 22000 ? newer : older;
    }
    const test_support::TempDir temp{L"rdpaths"};
    const std::wstring saved, w = temp.path(), drive = w.substr(0, 2), root = drive + L"\\", longW = LR"(\\?\)" + w;
};

TEST(Paths, NamesResolveAsWindowsResolvesThemWithoutLengthLimit) {
    const Names n;
    std::wstring slashed = n.w;
    std::replace(slashed.begin(), slashed.end(), L'\\', L'/');
    std::wstring climbOut = L"x";
    for (int i = 0; i < 20; ++i) climbOut.insert(0, LR"(..\)");
    expectRows(RunTime::File::absolutePath, {
        {L"", L"out.txt", n.longW + LR"(\out.txt)"}, {L"", n.drive + L"out.txt", n.longW + LR"(\out.txt)"},
        {L"", LR"(\logs\out.txt)", LR"(\\?\)" + n.root + LR"(logs\out.txt)"},
        {L"", L"//./" + slashed + L"/out.txt", LR"(\\.\)" + n.w + LR"(\out.txt)"},
        {L"", L"//?/" + slashed + L"/out.txt", n.longW + LR"(\out.txt)"},  // only "\\?\" written so is verbatim
        {L"", LR"(\\.\)" + n.drive, LR"(\\.\)" + n.drive},                // the volume, not its root folder
        {L"", L"NUL:", LR"(\\.\NUL)"}, {L"", n.w + LR"(\nul)", LR"(\\.\nul)"}, {L"", L"Com1", LR"(\\.\Com1)"},
        {L"", L"NUL.txt", n.either(LR"(\\.\NUL)", n.longW + LR"(\NUL.txt)")},
        {n.w, L"COM1.txt", n.either(LR"(\\.\COM1)", n.longW + LR"(\COM1.txt)")},
        {L"", n.w + LR"(\LPT9)", n.either(LR"(\\.\LPT9)", n.longW + LR"(\LPT9)")},
        {L"", LR"(\\server\share\out\NUL)", LR"(\\?\UNC\server\share\out\NUL)"},  // a file on the share
        {L"", n.w + LR"(\dots.txt.)", n.longW + LR"(\dots.txt)"}, {L"", LR"(a.\out.txt  )", n.longW + LR"(\a\out.txt)"},
        {L"", L"//server/share/f", LR"(\\?\UNC\server\share\f)"},
        {L"", n.w + L"\\" + kLong + LR"(\x.)", n.longW + L"\\" + kLong + LR"(\x)"},
        {L"", n.drive + L"\\.", LR"(\\?\)" + n.root}, {L"", L"conout$", L"conout$"},
        {L"", LR"(\\?\C:\x\..\dots.)", LR"(\\?\C:\x\..\dots.)"}, {L"", LR"(\??\C:\x\..\y)", LR"(\??\C:\x\..\y)"},
        // With a base: a rooted name stays below it, a name with a drive or share does not.
        {LR"(C:\data)", L"D:/logs//x.log", LR"(\\?\D:\logs\x.log)"}, {LR"(C:\data)", LR"(\x)", LR"(\\?\C:\data\x)"},
        {LR"(\\?\C:\data)", LR"(..\x)", LR"(\\?\C:\x)"},
        {LR"(C:\data)", LR"(\\server\share\f)", LR"(\\?\UNC\server\share\f)"},
        {kVolume + LR"(\dumps)", L"x.dmp", kVolume + LR"(\dumps\x.dmp)"},
        // Refused: a ".." above the drive, the share, or (relative) the current directory's drive.
        {L"", LR"(C:\..\x)", LR"(Invalid input path () + (C:\..\x))"},  // without the long prefix
        {LR"(\\?\C:\data)", LR"(..\..\x)", LR"(Invalid input path (C:\data) + (..\..\x))"},
        {LR"(\\server\share)", L"..", LR"(Invalid input path (\\server\share) + (..))"},
        {L"", climbOut, L"Invalid input path () + (" + climbOut + L")"},
        {L"", LR"(..\x)", LR"(\\?\)" + n.w.substr(0, n.w.rfind(L'\\')) + LR"(\x)"}});  // within its depth
    // The file layer's long form: as Windows, ".." stays at the root.
    expectRows(single(VFileName::toLongPath),
               {{n.drive + L"pid.txt", L"", n.longW + LR"(\pid.txt)"}, {LR"(C:\..\x)", L"", LR"(\\?\C:\x)"},
                {LR"(\\server\share\..\x)", L"", LR"(\\?\UNC\server\share\x)"}, {L"CONOUT$", L"", L"CONOUT$"},
                {LR"(\\?\C:\a.)", L"", LR"(\\?\C:\a.)"}});
}

TEST(Paths, NamesWineCannotShowResolveAsWindowsResolvesThem) {
    if (test_support::runningUnderWine())
        GTEST_SKIP() << "Wine takes a name starting with one '/' for a Unix path, keeps COM\u00b9 a file and opens "
                        "nothing through a volume name";
    const Names n;
    expectRows(RunTime::File::absolutePath,
               {{L"", L"/x", LR"(\\?\)" + n.root + L"x"}, {L"", L"COM\u00b9", L"\\\\.\\COM\u00b9"},
                {L"", n.w + L"\\LPT\u00b3", n.either(L"\\\\.\\LPT\u00b3", n.longW + L"\\LPT\u00b3")}});
    wchar_t volume[MAX_PATH];
    ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(n.root.c_str(), volume, MAX_PATH)) << GetLastError();
    RunTime::File::create(VFileName::combine(volume, n.w.substr(3)), L"f.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL);
    EXPECT_NE(GetFileAttributesW((n.w + L"\\f.txt").c_str()), INVALID_FILE_ATTRIBUTES);
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
