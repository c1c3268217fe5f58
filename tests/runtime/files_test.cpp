// The file-system layer against the real file system, each test in a fresh
// directory below the temporary directory.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "errors/vexception.h"
#include "runtime/files.h"
#include "runtime/paths.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::removeTree;

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
const std::wstring kWide = L"\u65e5\u672c-\u00fc\u00df-\u0436";  // "日本-üß-ж"

HANDLE openRaw(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileW((kLongPrefix + path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// Whether nobody else holds the file open: an exclusive open succeeds.
bool isClosedEverywhere(const std::wstring& path) {
    const HANDLE handle = openRaw(path, GENERIC_READ, 0, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}

std::string readHandle(HANDLE handle) {
    char buffer[256];
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(handle, buffer, sizeof buffer, &count, nullptr));
    return std::string(buffer, count);
}

void writeHandle(HANDLE handle, const std::string& content) {
    DWORD count = 0;
    EXPECT_TRUE(WriteFile(handle, content.data(), static_cast<DWORD>(content.size()), &count, nullptr));
}

bool contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

}  // namespace

class Files : public testing::Test {
protected:
    void SetUp() override {
        static int serial = 0;
        wchar_t temp[MAX_PATH + 1];
        ASSERT_NE(GetTempPathW(MAX_PATH + 1, temp), 0u);
        root_ = std::wstring(temp) + L"rundock-files-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++serial);
        ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
        ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, savedDirectory_), 0u);
    }
    void TearDown() override {
        SetCurrentDirectoryW(savedDirectory_);
        removeTree(kLongPrefix + root_);
        // Fails when a test leaves a handle open below the directory.
        EXPECT_EQ(GetFileAttributesW(root_.c_str()), INVALID_FILE_ATTRIBUTES) << "left behind";
    }
    std::wstring path(const std::wstring& relative) const { return root_ + L"\\" + relative; }

    std::wstring root_;
    wchar_t savedDirectory_[MAX_PATH];
};

TEST_F(Files, WriteAllThenReadAllRoundTripsBinaryBytes) {
    std::string content;
    for (int round = 0; round < 9; ++round)  // several read chunks, the last one partial
        for (int byte = 0; byte < 256; ++byte) content += static_cast<char>(byte);
    EXPECT_TRUE(VFile::writeAll(path(L"data.bin"), content, true));
    EXPECT_EQ(VFile::readAll(path(L"data.bin")), content);

    const std::string chunk(1024, '\x7f');  // exactly one full chunk
    EXPECT_TRUE(VFile::writeAll(path(L"chunk.bin"), chunk, true));
    EXPECT_EQ(VFile::readAll(path(L"chunk.bin")), chunk);
}

TEST_F(Files, WriteAllReplacesLongerOldContent) {
    ASSERT_TRUE(VFile::writeAll(path(L"pid"), std::string(5000, 'x'), true));
    EXPECT_TRUE(VFile::writeAll(path(L"pid"), "42", true));
    EXPECT_EQ(VFile::readAll(path(L"pid")), "42");
}

TEST_F(Files, WriteAllWithoutOverwriteKeepsWhatExists) {
    EXPECT_TRUE(VFile::writeAll(path(L"once"), "first", false));
    EXPECT_FALSE(VFile::writeAll(path(L"once"), "second", false));
    EXPECT_EQ(VFile::readAll(path(L"once")), "first");

    ASSERT_TRUE(CreateDirectoryW(path(L"dir").c_str(), nullptr));
    EXPECT_FALSE(VFile::writeAll(path(L"dir"), "x", false));
}

TEST_F(Files, ReadAllOfAnEmptyFileIsEmpty) {
    const HANDLE handle = openRaw(path(L"empty"), GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    EXPECT_EQ(VFile::readAll(path(L"empty")), "");
}

TEST_F(Files, ReadAllOfAMissingFileNamesIt) {
    try {
        VFile::readAll(path(L"missing.txt"));
        FAIL() << "no failure";
    } catch (const VFileNotFoundException& e) {
        EXPECT_TRUE(contains(e.message(), L"Open file '")) << e.message();
        EXPECT_TRUE(contains(e.message(), L"missing.txt'")) << e.message();
    }
    EXPECT_THROW(VFile::readAll(path(L"missing\\x.txt")), VPathNotFoundException);
}

TEST_F(Files, VFileReadsWritesAndSeeks) {
    VFile file;
    file.open(path(L"rw"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(file.name(), path(L"rw"));
    file.write("hello world", 11, true);
    EXPECT_EQ(file.seek(0, nullptr, FILE_BEGIN), 0u);
    char buffer[16] = {};
    EXPECT_EQ(file.read(buffer, 5), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(file.seek(0, nullptr, FILE_END), 11u);
    EXPECT_EQ(file.read(buffer, sizeof buffer), 0u);

    // A position whose low half is 0xFFFFFFFF is no failure, whatever the last error said before.
    LONG high = 0;
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(file.seek(-1, &high, FILE_BEGIN), 0xFFFFFFFFu);
    EXPECT_EQ(high, 0);

    try {
        file.seek(-5, nullptr, FILE_BEGIN);
        FAIL() << "no failure";
    } catch (const vosexception& e) {
        EXPECT_TRUE(contains(e.message(), L"Unable seek in file '" + path(L"rw") + L"'")) << e.message();
    }
}

TEST_F(Files, VFileFailuresNameTheFile) {
    ASSERT_TRUE(VFile::writeAll(path(L"ro"), "content", true));
    VFile file;
    file.open(path(L"ro"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    try {
        file.write("x", 1, true);
        FAIL() << "no failure";
    } catch (const VAccessDeniedException& e) {
        EXPECT_TRUE(contains(e.message(), L"Write to file '" + path(L"ro") + L"'")) << e.message();
    }

    // A failed open leaves the file that is open alone.
    EXPECT_THROW(file.open(path(L"missing"), GENERIC_READ, 0, OPEN_EXISTING, 0), VFileNotFoundException);
    EXPECT_EQ(file.name(), path(L"ro"));
    char buffer[7];
    EXPECT_EQ(file.read(buffer, sizeof buffer), 7u);
}

TEST_F(Files, VFileMovesOwnershipAndClosesOnce) {
    ASSERT_TRUE(VFile::writeAll(path(L"a"), "a", true));
    ASSERT_TRUE(VFile::writeAll(path(L"b"), "b", true));
    VFile first;
    first.open(path(L"a"), GENERIC_READ, 0, OPEN_EXISTING, 0);
    const HANDLE handle = first.handle();

    VFile second(std::move(first));
    EXPECT_EQ(first.handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(second.handle(), handle);
    EXPECT_EQ(second.name(), path(L"a"));

    VFile third;
    third.open(path(L"b"), GENERIC_READ, 0, OPEN_EXISTING, 0);
    third = std::move(second);
    EXPECT_TRUE(isClosedEverywhere(path(L"b")));
    EXPECT_FALSE(isClosedEverywhere(path(L"a")));
    EXPECT_EQ(third.handle(), handle);

    third.close();
    third.close();
    EXPECT_EQ(third.handle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(isClosedEverywhere(path(L"a")));
}

TEST_F(Files, DuplicateGivesAnIndependentNonInheritableHandle) {
    EXPECT_EQ(VHandle::duplicate(nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(VHandle::duplicate(INVALID_HANDLE_VALUE), INVALID_HANDLE_VALUE);

    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const HANDLE original = CreateFileW(path(L"dup").c_str(), GENERIC_WRITE, 0, &inheritable, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(original, INVALID_HANDLE_VALUE);
    const HANDLE copy = VHandle::duplicate(original);
    EXPECT_NE(copy, original);
    CloseHandle(original);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(copy, &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    writeHandle(copy, "via copy");
    CloseHandle(copy);
    EXPECT_EQ(VFile::readAll(path(L"dup")), "via copy");

    const HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(closed);
    try {
        VHandle::duplicate(closed);
        FAIL() << "no failure";
    } catch (const vosexception& e) {
        EXPECT_TRUE(e.message().ends_with(L" at Unable to duplicate handle")) << e.message();
    }
}

TEST_F(Files, FileExistTellsFilesFromDirectories) {
    ASSERT_TRUE(VFile::writeAll(path(L"file"), "x", true));
    ASSERT_TRUE(CreateDirectoryW(path(L"dir").c_str(), nullptr));
    bool isDirectory = true;
    EXPECT_TRUE(fileExist(path(L"file"), &isDirectory));
    EXPECT_FALSE(isDirectory);
    EXPECT_TRUE(fileExist(path(L"dir"), &isDirectory));
    EXPECT_TRUE(isDirectory);
    EXPECT_TRUE(fileExist(path(L"dir\\")));
    EXPECT_TRUE(fileExist(root_ + L"/dir/../file"));
    EXPECT_FALSE(fileExist(path(L"missing"), &isDirectory));
    EXPECT_TRUE(isDirectory);  // untouched when nothing is found
    EXPECT_FALSE(fileExist(path(L"missing\\deeper")));
}

TEST_F(Files, SetFileAttributesClearsOnlyTheGivenBits) {
    // Hidden rather than archive: Wine reports archive on every file.
    constexpr std::uint32_t kBoth = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    ASSERT_TRUE(VFile::writeAll(path(L"locked"), "old", true));
    ASSERT_TRUE(SetFileAttributesW(path(L"locked").c_str(), kBoth));
    EXPECT_EQ(getFileAttributes(path(L"locked")) & kBoth, kBoth);

    setFileAttributes(path(L"locked"), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(getFileAttributes(path(L"locked")) & kBoth, static_cast<std::uint32_t>(FILE_ATTRIBUTE_HIDDEN));

    // Clearing the last bit leaves a plain, writable file.
    setFileAttributes(path(L"locked"), kBoth);
    EXPECT_EQ(getFileAttributes(path(L"locked")) & kBoth, 0u);
    EXPECT_TRUE(VFile::writeAll(path(L"locked"), "new", true));

    try {
        setFileAttributes(path(L"missing"), FILE_ATTRIBUTE_READONLY);
        FAIL() << "no failure";
    } catch (const VFileNotFoundException& e) {
        EXPECT_TRUE(contains(e.message(), L"GetFileAttributes(" + path(L"missing") + L")")) << e.message();
    }
}

TEST_F(Files, FinderWalksADirectoryToItsEnd) {
    ASSERT_TRUE(VFile::writeAll(path(L"a.txt"), "a", true));
    ASSERT_TRUE(VFile::writeAll(path(L"b.bin"), "b", true));
    ASSERT_TRUE(CreateDirectoryW(path(L"sub").c_str(), nullptr));

    VFileFinder finder;
    EXPECT_FALSE(finder.next());  // nothing open yet
    std::map<std::wstring, bool> entries;
    for (bool found = finder.first(path(L"*")); found; found = finder.next()) {
        if (finder.isDots()) {
            EXPECT_TRUE(finder.isDirectory());
            continue;
        }
        entries[finder.name()] = finder.isDirectory();
        const FILETIME written = finder.lastWriteTime();
        EXPECT_TRUE(written.dwLowDateTime != 0 || written.dwHighDateTime != 0);
    }
    EXPECT_EQ(entries, (std::map<std::wstring, bool>{{L"a.txt", false}, {L"b.bin", false}, {L"sub", true}}));
    EXPECT_EQ(finder.name(), L"");
    EXPECT_FALSE(finder.next());

    // A new enumeration starts over.
    ASSERT_TRUE(finder.first(path(L"*.txt")));
    EXPECT_EQ(finder.name(), L"a.txt");
    EXPECT_FALSE(finder.next());
}

TEST_F(Files, FinderAnswersFalseWhenNothingMatches) {
    VFileFinder finder;
    ASSERT_TRUE(finder.first(path(L"*")));
    EXPECT_FALSE(finder.first(path(L"missing\\*")));
    EXPECT_EQ(finder.name(), L"");
    EXPECT_FALSE(finder.next());
    EXPECT_FALSE(finder.first(path(L"*.none")));
}

TEST_F(Files, CreateDirectoryMakesEveryMissingParent) {
    VDirectory::createDirectory(path(L"a\\b\\c"), nullptr);
    VDirectory::createDirectory(path(L"x/y/z/"), nullptr);
    for (const wchar_t* made : {L"a", L"a\\b", L"a\\b\\c", L"x", L"x\\y", L"x\\y\\z"}) {
        bool isDirectory = false;
        EXPECT_TRUE(fileExist(path(made), &isDirectory)) << made;
        EXPECT_TRUE(isDirectory) << made;
    }
    // Whatever exists under the name counts as done.
    VDirectory::createDirectory(path(L"a\\b\\c"), nullptr);
    ASSERT_TRUE(VFile::writeAll(path(L"file"), "x", true));
    VDirectory::createDirectory(path(L"file"), nullptr);

    try {
        VDirectory::createDirectory(path(L"file\\sub"), nullptr);
        FAIL() << "no failure";
    } catch (const vosexception& e) {
        EXPECT_TRUE(contains(e.message(), L"CreateDirectory(" + path(L"file\\sub") + L")")) << e.message();
    }
}

TEST_F(Files, CreateDirectoryRejectsAnEmptyNameAndStopsAtAMissingRoot) {
    try {
        VDirectory::createDirectory(L"", nullptr);
        FAIL() << "no failure";
    } catch (const ArgumentException& e) {
        EXPECT_EQ(e.message(), L"Unable to create directory with wrong name");
    }

    const DWORD drives = GetLogicalDrives();
    wchar_t letter = L'P';
    while (letter < L'Y' && (drives & (1u << (letter - L'A')))) ++letter;
    ASSERT_FALSE(drives & (1u << (letter - L'A'))) << "no free drive letter";
    const std::wstring missing = std::wstring(1, letter) + L":\\a\\b";
    EXPECT_THROW(VDirectory::createDirectory(missing, nullptr), vosexception);
}

TEST_F(Files, LongAndNonAsciiPathsWork) {
    std::wstring deep = root_;
    for (int level = 0; level < 3; ++level) deep += L"\\" + kWide + std::wstring(100, static_cast<wchar_t>(L'a' + level));
    ASSERT_GT(deep.size(), 300u);
    VDirectory::createDirectory(deep, nullptr);
    bool isDirectory = false;
    EXPECT_TRUE(fileExist(deep, &isDirectory));
    EXPECT_TRUE(isDirectory);

    const std::wstring file = deep + L"\\" + kWide + L".txt";
    const std::string content("\xe6\x97\xa5\0\xff", 5);
    EXPECT_TRUE(VFile::writeAll(file, content, true));
    EXPECT_EQ(VFile::readAll(file), content);
    EXPECT_TRUE(fileExist(file, &isDirectory));
    EXPECT_FALSE(isDirectory);
    ASSERT_TRUE(SetFileAttributesW((kLongPrefix + file).c_str(), FILE_ATTRIBUTE_READONLY));
    setFileAttributes(file, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(getFileAttributes(file) & FILE_ATTRIBUTE_READONLY, 0u);

    VFileFinder finder;
    ASSERT_TRUE(finder.first(deep + L"\\*.txt"));
    EXPECT_EQ(finder.name(), kWide + L".txt");
}

TEST_F(Files, OpenForWritingResolvesRelativePathsBelowTheCurrentDirectory) {
    ASSERT_TRUE(VFile::writeAll(path(L"out.txt"), "old content, longer than the new", true));
    ASSERT_TRUE(SetCurrentDirectoryW(root_.c_str()));

    HANDLE output = INVALID_HANDLE_VALUE;
    RunTime::File::openForWriting(output, L"out.txt");
    writeHandle(output, "new");
    CloseHandle(output);
    EXPECT_EQ(VFile::readAll(path(L"out.txt")), "new");

    output = INVALID_HANDLE_VALUE;
    RunTime::File::openForWriting(output, L"sub\\..\\" + kWide + L".log");
    CloseHandle(output);
    EXPECT_TRUE(fileExist(path(kWide + L".log")));
}

TEST_F(Files, OpenForWritingTwiceIsASharingViolation) {
    HANDLE first = INVALID_HANDLE_VALUE;
    RunTime::File::openForWriting(first, path(L"x.log"));
    HANDLE second = INVALID_HANDLE_VALUE;
    try {
        RunTime::File::openForWriting(second, path(L"x.log"));
        FAIL() << "no failure";
    } catch (const VSharingViolationException& e) {
        // The message shows the path without its long prefix.
        EXPECT_TRUE(contains(e.message(), L"Unable to create file '" + path(L"x.log") + L"'")) << e.message();
    }
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    CloseHandle(first);
}

TEST_F(Files, CreateClosesTheHeldHandleWhetherOrNotTheOpenSucceeds) {
    ASSERT_TRUE(VFile::writeAll(path(L"held"), "held", true));
    ASSERT_TRUE(VFile::writeAll(path(L"input"), "input", true));

    HANDLE output = openRaw(path(L"held"), GENERIC_READ, 0, OPEN_EXISTING);
    ASSERT_NE(output, INVALID_HANDLE_VALUE);
    RunTime::File::openForReading(output, path(L"input"));
    EXPECT_TRUE(isClosedEverywhere(path(L"held")));
    EXPECT_EQ(readHandle(output), "input");

    EXPECT_THROW(RunTime::File::openForReading(output, path(L"missing")), VFileNotFoundException);
    EXPECT_EQ(output, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(isClosedEverywhere(path(L"input")));
}

TEST_F(Files, CreatePassesResolutionErrorsOn) {
    HANDLE output = INVALID_HANDLE_VALUE;
    try {
        RunTime::File::openForWriting(output, L"");
        FAIL() << "no failure";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(e.message().ends_with(L" at Empty input path")) << e.message();
    }
    EXPECT_THROW(RunTime::File::openForWriting(output, L"C:\\..\\x"), vexception);
}

TEST_F(Files, CurrentDirectoryOfAnyLength) {
    ASSERT_TRUE(SetCurrentDirectoryW(root_.c_str()));
    EXPECT_EQ(RunTime::currentDirectory(), root_);
    EXPECT_EQ(VDirectory::current(), root_);

    // Past the 256 characters the first buffer holds.
    std::wstring deep = root_;
    for (int level = 0; level < 3; ++level) deep += L"\\" + std::wstring(100, static_cast<wchar_t>(L'a' + level));
    VDirectory::createDirectory(deep, nullptr);
    if (!SetCurrentDirectoryW(deep.c_str())) GTEST_SKIP() << "the system limits the current directory";
    EXPECT_EQ(RunTime::currentDirectory(), deep);
    EXPECT_EQ(VDirectory::current(), deep);
}
