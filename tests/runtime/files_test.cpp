// The file-system layer against the real file system, each test in a fresh
// directory below the temporary directory.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "errors/vexception.h"
#include "runtime/files.h"
#include "runtime/paths.h"
#include "tests/support/raised.h"
#include "tests/support/temp_dir.h"
#include "threads/recycler.h"

namespace {

using test_support::messageOf;

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
const std::wstring kWide = L"\u65e5\u672c-\u00fc\u00df-\u0436";  // "日本-üß-ж"

// Whether nobody else holds the file open: an exclusive open succeeds.
bool isClosedEverywhere(const std::wstring& path) {
    const HANDLE handle =
        CreateFileW((kLongPrefix + path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}

bool writeHandle(HANDLE handle, const std::string& content) {
    DWORD count = 0;
    return WriteFile(handle, content.data(), static_cast<DWORD>(content.size()), &count, nullptr) &&
           count == content.size();
}

testing::AssertionResult contains(const std::wstring& text, const std::wstring& part) {
    if (text.find(part) != std::wstring::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << testing::PrintToString(text) << " lacks " << testing::PrintToString(part);
}

}  // namespace

class Files : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, savedDirectory_), 0u); }
    void TearDown() override {
        SetCurrentDirectoryW(savedDirectory_);
        temp_.reset();
        // Fails when a test leaves a handle open below the directory.
        EXPECT_EQ(GetFileAttributesW(root_.c_str()), INVALID_FILE_ATTRIBUTES) << "left behind";
    }
    std::wstring path(const std::wstring& relative) const { return root_ + L"\\" + relative; }

    std::optional<test_support::TempDir> temp_{std::in_place, L"rundock-files-"};
    const std::wstring root_ = temp_->path();
    wchar_t savedDirectory_[MAX_PATH];
};

TEST_F(Files, WholeFileWritesReplaceOrKeepWhatExists) {
    std::string bytes;
    for (int round = 0; round < 9; ++round)  // several read chunks, the last one partial
        for (int byte = 0; byte < 256; ++byte) bytes += static_cast<char>(byte);
    // Each write replaces longer content: then exactly one read chunk, then nothing.
    for (const std::string& content : {bytes, std::string(1024, '\x7f'), std::string()}) {
        EXPECT_TRUE(VFile::writeAll(path(L"data"), content, true));
        EXPECT_EQ(VFile::readAll(path(L"data")), content);
    }

    EXPECT_TRUE(VFile::writeAll(path(L"once"), "first", false));
    EXPECT_FALSE(VFile::writeAll(path(L"once"), "second", false));
    EXPECT_EQ(VFile::readAll(path(L"once")), "first");
    ASSERT_TRUE(CreateDirectoryW(path(L"dir").c_str(), nullptr));
    EXPECT_FALSE(VFile::writeAll(path(L"dir"), "x", false));

    const std::wstring missing = messageOf<VFileNotFoundException>([&] { VFile::readAll(path(L"missing.txt")); });
    EXPECT_TRUE(contains(missing, L"Open file '"));
    EXPECT_TRUE(contains(missing, L"missing.txt'"));
    EXPECT_THROW(VFile::readAll(path(L"missing\\x.txt")), VPathNotFoundException);
}

TEST_F(Files, FileObjectsReadWriteSeekAndNameTheFileInFailures) {
    VFile file;
    file.open(path(L"rw"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    file.write("hello world", 11, true);
    file.seek(0, nullptr, FILE_BEGIN);
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
    EXPECT_TRUE(contains(messageOf<vosexception>([&] { file.seek(-5, nullptr, FILE_BEGIN); }),
                         L"Unable seek in file '" + path(L"rw") + L"'"));

    ASSERT_TRUE(VFile::writeAll(path(L"ro"), "content", true));
    VFile readOnly;
    readOnly.open(path(L"ro"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(contains(messageOf<VAccessDeniedException>([&] { readOnly.write("x", 1, true); }),
                         L"Write to file '" + path(L"ro") + L"'"));
    // A failed open leaves the file that is open alone.
    EXPECT_THROW(readOnly.open(path(L"missing"), GENERIC_READ, 0, OPEN_EXISTING, 0), VFileNotFoundException);
    EXPECT_EQ(readOnly.name(), path(L"ro"));
    EXPECT_EQ(readOnly.read(buffer, 7), 7u);
}

TEST_F(Files, HandlesMoveCloseOnceAndDuplicateWithoutInheritance) {
    VFile first;
    first.open(path(L"a"), GENERIC_READ, 0, CREATE_NEW, 0);
    const HANDLE handle = first.handle();
    VFile second(std::move(first));
    EXPECT_EQ(first.handle(), INVALID_HANDLE_VALUE);
    VFile third;
    third.open(path(L"b"), GENERIC_READ, 0, CREATE_NEW, 0);
    third = std::move(second);
    EXPECT_TRUE(isClosedEverywhere(path(L"b")));
    EXPECT_EQ(third.handle(), handle);
    third.close();
    third.close();
    EXPECT_EQ(third.handle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(isClosedEverywhere(path(L"a")));

    EXPECT_EQ(VHandle::duplicate(nullptr).get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(VHandle::duplicate(INVALID_HANDLE_VALUE).get(), INVALID_HANDLE_VALUE);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const HANDLE original = CreateFileW(path(L"dup").c_str(), GENERIC_WRITE, 0, &inheritable, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(original, INVALID_HANDLE_VALUE);
    RunTime::FileHandle copy = VHandle::duplicate(original);
    CloseHandle(original);
    DWORD flags = HANDLE_FLAG_INHERIT;
    EXPECT_TRUE(GetHandleInformation(copy.get(), &flags) && !(flags & HANDLE_FLAG_INHERIT));
    EXPECT_TRUE(writeHandle(copy.get(), "via copy"));
    copy.reset();
    EXPECT_EQ(VFile::readAll(path(L"dup")), "via copy");

    const HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(closed);
    EXPECT_TRUE(contains(messageOf<vosexception>([&] { VHandle::duplicate(closed); }),
                         L" at Unable to duplicate handle"));
}

TEST_F(Files, QueriesAndListingsTellFilesFromDirectoriesAndAttributesClearOnlyTheGivenBits) {
    ASSERT_TRUE(VFile::writeAll(path(L"a.txt"), "a", true));
    ASSERT_TRUE(VFile::writeAll(path(L"b.bin"), "b", true));
    ASSERT_TRUE(CreateDirectoryW(path(L"sub").c_str(), nullptr));
    bool isDirectory = true;
    EXPECT_TRUE(fileExist(path(L"a.txt"), &isDirectory) && !isDirectory);
    EXPECT_TRUE(fileExist(path(L"sub\\"), &isDirectory) && isDirectory);
    EXPECT_TRUE(fileExist(root_ + L"/sub/../a.txt"));
    EXPECT_FALSE(fileExist(path(L"missing"), &isDirectory));
    EXPECT_TRUE(isDirectory);  // untouched when nothing is found
    EXPECT_FALSE(fileExist(path(L"missing\\deeper")));

    VFileFinder finder;
    EXPECT_FALSE(finder.next());  // nothing open yet
    std::map<std::wstring, bool> entries;
    for (bool found = finder.first(path(L"*")); found; found = finder.next())
        if (!finder.isDots()) entries[finder.name()] = finder.isDirectory();
    EXPECT_EQ(entries, (std::map<std::wstring, bool>{{L"a.txt", false}, {L"b.bin", false}, {L"sub", true}}));
    EXPECT_EQ(finder.name(), L"");
    EXPECT_FALSE(finder.next());
    // A new enumeration starts over; one that finds nothing leaves nothing open.
    ASSERT_TRUE(finder.first(path(L"*.txt")));
    EXPECT_EQ(finder.name(), L"a.txt");
    EXPECT_FALSE(finder.first(path(L"missing\\*")));
    EXPECT_EQ(finder.name(), L"");
    EXPECT_FALSE(finder.next());
    EXPECT_FALSE(finder.first(path(L"*.none")));

    // Hidden rather than archive: Wine reports archive on every file.
    constexpr std::uint32_t kBoth = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    ASSERT_TRUE(SetFileAttributesW(path(L"a.txt").c_str(), kBoth));
    setFileAttributes(path(L"a.txt"), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(getFileAttributes(path(L"a.txt")) & kBoth, static_cast<std::uint32_t>(FILE_ATTRIBUTE_HIDDEN));
    // Clearing the last bit leaves a plain, writable file.
    setFileAttributes(path(L"a.txt"), kBoth);
    EXPECT_EQ(getFileAttributes(path(L"a.txt")) & kBoth, 0u);
    EXPECT_TRUE(VFile::writeAll(path(L"a.txt"), "new", true));
    EXPECT_TRUE(contains(messageOf<VFileNotFoundException>([&] { setFileAttributes(path(L"missing"), kBoth); }),
                         L"GetFileAttributes(" + path(L"missing") + L")"));
}

TEST_F(Files, CreateDirectoryMakesEveryParentOrNamesWhatFailed) {
    VDirectory::createDirectory(path(L"a\\b\\c"), nullptr);
    VDirectory::createDirectory(path(L"x/y/z/"), nullptr);
    bool isDirectory = false;
    EXPECT_TRUE(fileExist(path(L"a\\b\\c"), &isDirectory) && isDirectory);
    EXPECT_TRUE(fileExist(path(L"x\\y\\z"), &isDirectory) && isDirectory);
    // An existing directory is done; a file of that name is no directory.
    VDirectory::createDirectory(path(L"a\\b\\c"), nullptr);
    ASSERT_TRUE(VFile::writeAll(path(L"file"), "x", true));
    EXPECT_THROW(VDirectory::createDirectory(path(L"file"), nullptr), VAlreadyExistsException);
    EXPECT_THROW(VDirectory::createDirectory(path(L"file\\"), nullptr), VAlreadyExistsException);

    // Below a file, the file is what stands in the way.
    EXPECT_TRUE(contains(
        messageOf<VAlreadyExistsException>([&] { VDirectory::createDirectory(path(L"file\\sub"), nullptr); }),
        L"CreateDirectory(" + path(L"file") + L")"));
    EXPECT_EQ(messageOf<ArgumentException>([] { VDirectory::createDirectory(L"", nullptr); }),
              L"Unable to create directory with wrong name");
    // A missing root ends the climb to the parents.
    const DWORD drives = GetLogicalDrives();
    wchar_t letter = L'P';
    while (letter < L'Y' && (drives & (1u << (letter - L'A')))) ++letter;
    ASSERT_FALSE(drives & (1u << (letter - L'A'))) << "no free drive letter";
    EXPECT_THROW(VDirectory::createDirectory(std::wstring(1, letter) + L":\\a\\b", nullptr), vosexception);
}

// Agents starting together make the same directories: whoever comes second
// to one of them must not fail.
TEST_F(Files, CreateDirectoryRacingOthersForTheSameParentsSucceeds) {
    constexpr int kThreads = 8;
    for (int round = 0; round < 10; ++round) {
        const std::wstring deep = path(L"race" + std::to_wstring(round) + L"\\1\\2\\3\\4\\5\\6\\7\\8");
        std::vector<std::thread> threads;
        std::atomic<int> failures{0};
        const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        for (int i = 0; i < kThreads; ++i)
            threads.emplace_back([&, i] {
                WaitForSingleObject(go, INFINITE);
                try {
                    VDirectory::createDirectory(deep + L"\\t" + std::to_wstring(i), nullptr);
                } catch (const vexception&) {
                    ++failures;
                }
            });
        SetEvent(go);
        for (std::thread& thread : threads) thread.join();
        CloseHandle(go);
        ASSERT_EQ(failures, 0) << "round " << round;
    }
}

TEST_F(Files, LongAndNonAsciiPathsWorkAndMayBeTheCurrentDirectory) {
    std::wstring deep = root_;
    for (int level = 0; level < 3; ++level)
        deep += L"\\" + kWide + std::wstring(100, static_cast<wchar_t>(L'a' + level));
    ASSERT_GT(deep.size(), 300u);
    VDirectory::createDirectory(deep, nullptr);
    bool isDirectory = false;
    EXPECT_TRUE(fileExist(deep, &isDirectory) && isDirectory);

    const std::wstring file = deep + L"\\" + kWide + L".txt";
    const std::string content("\xe6\x97\xa5\0\xff", 5);
    EXPECT_TRUE(VFile::writeAll(file, content, true));
    EXPECT_EQ(VFile::readAll(file), content);
    EXPECT_TRUE(fileExist(file, &isDirectory) && !isDirectory);
    ASSERT_TRUE(SetFileAttributesW((kLongPrefix + file).c_str(), FILE_ATTRIBUTE_READONLY));
    setFileAttributes(file, FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(getFileAttributes(file) & FILE_ATTRIBUTE_READONLY, 0u);

    VFileFinder finder;
    ASSERT_TRUE(finder.first(deep + L"\\*.txt"));
    EXPECT_EQ(finder.name(), kWide + L".txt");

    // Past the 256 characters the first buffer holds.
    if (!SetCurrentDirectoryW(deep.c_str())) GTEST_SKIP() << "the system limits the current directory";
    EXPECT_EQ(RunTime::currentDirectory(), deep);
    EXPECT_EQ(VDirectory::current(), deep);
}

TEST_F(Files, StreamFilesResolveBelowTheCurrentDirectoryAndReplaceTheHeldHandle) {
    ASSERT_TRUE(VFile::writeAll(path(L"out.txt"), "old content, longer than the new", true));
    ASSERT_TRUE(VFile::writeAll(path(L"input"), "input", true));
    ASSERT_TRUE(SetCurrentDirectoryW(root_.c_str()));
    EXPECT_EQ(RunTime::currentDirectory(), root_);
    EXPECT_EQ(VDirectory::current(), root_);
    RunTime::FileHandle output = RunTime::File::openForWriting(L"out.txt");
    EXPECT_TRUE(writeHandle(output.get(), "new"));
    output = RunTime::File::openForReading(L"sub\\..\\input");
    EXPECT_TRUE(isClosedEverywhere(path(L"out.txt")));
    EXPECT_FALSE(isClosedEverywhere(path(L"input")));
    EXPECT_THROW(RunTime::File::openForReading(path(L"missing")), VFileNotFoundException);
    EXPECT_EQ(VFile::readAll(path(L"out.txt")), "new");

    // A second writer is refused, the file named without its long prefix.
    output = RunTime::File::openForWriting(path(L"x.log"));
    EXPECT_TRUE(contains(messageOf<VSharingViolationException>([&] { RunTime::File::openForWriting(path(L"x.log")); }),
                         L"Unable to create file '" + path(L"x.log") + L"'"));
    output.reset();
    EXPECT_THROW(RunTime::File::openForWriting(L""), vosexception);  // resolution errors pass on
}

// A missing file is removed already; a missing directory, a read-only file
// without force and a file held open are errors that name the step.
TEST_F(Files, RemoveFileDeletesOrExplainsWhyNot) {
    removeFile(path(L"missing"), false, false, 3, 60000);  // no retry, no pause
    EXPECT_TRUE(contains(messageOf<VPathNotFoundException>([&] { removeFile(path(L"no\\file"), true, false, 0, 0); }),
                         L" at DeleteFile '" + std::wstring(kLongPrefix) + path(L"no\\file") + L"'"));

    ASSERT_TRUE(VFile::writeAll(path(L"ro"), "x", true));
    ASSERT_TRUE(SetFileAttributesW(path(L"ro").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_THROW(removeFile(path(L"ro"), false, false, 1, 1), VAccessDeniedException);
    EXPECT_TRUE(fileExist(path(L"ro")));
    removeFile(path(L"ro"), true, false, 0, 0);
    EXPECT_FALSE(fileExist(path(L"ro")));
}

TEST_F(Files, RemoveFileViaTheRecyclerMovesAwayAndDeletesThere) {
    const std::wstring recycler = recyclerPath(path(L"x"));
    EXPECT_TRUE(RunTime::striequal(recycler, root_.substr(0, 3) + L"Recycler\\{86066D57-9347-46a7-B4DB-971D9EF36D29}"));
    const std::size_t before = test_support::fileNames(recycler + L"\\*").size();
    ASSERT_TRUE(VFile::writeAll(path(L"file"), "x", true));
    removeFile(path(L"file"), false, true, 0, 0);
    EXPECT_FALSE(fileExist(path(L"file")));
    EXPECT_EQ(test_support::fileNames(recycler + L"\\*").size(), before);

    ASSERT_TRUE(VFile::writeAll(path(L"busy"), "x", true));
    {
        VFile held;
        held.open(path(L"busy"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
        EXPECT_TRUE(contains(messageOf<VSharingViolationException>([&] { removeFile(path(L"busy"), true, true, 2, 10); }),
                             L" at Move file '" + path(L"busy") + L"' to '" + kLongPrefix + recycler + L"\\"));
    }
    EXPECT_TRUE(fileExist(path(L"busy")));
}

// The agent runs with high rights: a link must never lead it to delete or
// re-own what lies elsewhere. Wine 8 makes neither junctions nor symbolic links.
TEST_F(Files, RemoveFileTakesALinkAndLeavesItsTarget) {
    ASSERT_TRUE(CreateDirectoryW(path(L"target").c_str(), nullptr));
    ASSERT_TRUE(VFile::writeAll(path(L"target\\kept"), "x", true));
    ASSERT_TRUE(CreateDirectoryW(path(L"link").c_str(), nullptr));
    {
        const RunTime::FileHandle link = RunTime::File::openObject(path(L"link"), GENERIC_WRITE);
        const std::wstring substitute = L"\\??\\" + path(L"target");
        std::vector<unsigned char> data(16 + (substitute.size() + 2) * sizeof(wchar_t));
        const WORD bytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
        const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        const WORD header[6] = {static_cast<WORD>(data.size() - 8), 0, 0, bytes, static_cast<WORD>(bytes + 2), 0};
        std::memcpy(data.data(), &tag, 4);
        std::memcpy(data.data() + 4, header, sizeof header);
        std::memcpy(data.data() + 16, substitute.data(), bytes);
        DWORD returned = 0;
        if (!DeviceIoControl(link.get(), FSCTL_SET_REPARSE_POINT, data.data(), static_cast<DWORD>(data.size()), nullptr,
                             0, &returned, nullptr)) {
            RemoveDirectoryW(path(L"link").c_str());
            CreateSymbolicLinkW(path(L"link").c_str(), path(L"target").c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
        }
    }
    const DWORD attributes = GetFileAttributesW(path(L"link").c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "no junction or symbolic link can be made here";
    removeFile(path(L"link"), true, false, 0, 0);
    EXPECT_EQ(GetFileAttributesW(path(L"link").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(fileExist(path(L"target\\kept")));
}
