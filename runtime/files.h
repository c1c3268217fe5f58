// The thin file-system layer: file objects, whole-file reads and writes,
// queries, enumeration, directories, and the handles of a child's streams.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "runtime/handle.h"

namespace RunTime {
// A file handle as CreateFile gives it: INVALID_HANDLE_VALUE when empty.
struct FileHandleTraits : HandleTraits {
    static HANDLE empty() noexcept { return INVALID_HANDLE_VALUE; }
};
using FileHandle = Owner<FileHandleTraits>;
}  // namespace RunTime

class VFile {
public:
    VFile() noexcept = default;
    VFile(VFile&& other) noexcept = default;
    VFile& operator=(VFile&& other) noexcept = default;
    VFile(const VFile&) = delete;
    VFile& operator=(const VFile&) = delete;
    ~VFile() = default;

    void open(const std::wstring& path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
              DWORD flagsAndAttributes);
    std::uint32_t read(void* buffer, std::uint32_t count);
    void write(const void* data, std::uint32_t size, bool insistOnAll);
    std::uint32_t seek(LONG distanceLow, LONG* distanceHigh, DWORD moveMethod);
    void close() noexcept { handle_.reset(); }

    HANDLE handle() const noexcept { return handle_.get(); }
    const std::wstring& name() const noexcept { return name_; }

    static std::string readAll(const std::wstring& path);
    // false, writing nothing, when overwrite is off and the file exists.
    static bool writeAll(const std::wstring& path, const std::string& content, bool overwrite);

private:
    RunTime::FileHandle handle_;
    std::wstring name_;
};

namespace VHandle {
// A non-inheritable duplicate; empty (INVALID_HANDLE_VALUE) for an empty handle.
RunTime::FileHandle duplicate(HANDLE handle);
}  // namespace VHandle

namespace RunTime::File {
// Resolves path against base and opens it. A caller replacing a handle it
// holds closes that one first, so that a failed open leaves nothing open.
FileHandle create(const std::wstring& base, const std::wstring& path, DWORD desiredAccess, DWORD shareMode,
                  SECURITY_ATTRIBUTES* security, DWORD creationDisposition, DWORD flagsAndAttributes);
// The two forms a child's standard streams use.
FileHandle openForReading(const std::wstring& path);
FileHandle openForWriting(const std::wstring& path);
// path itself, for its attributes or security: a junction or symbolic link
// is opened, not followed. Empty on failure, with the last error set.
FileHandle openObject(const std::wstring& path, DWORD access);
// The object that file (from openObject) is open on, opened again for access
// without a name: the same file, whatever path leads to by now. Empty on
// failure, with the last error set.
FileHandle reopenObject(HANDLE file, DWORD access);
// Sets and clears attribute bits of path itself, never through a link; of
// file instead when given (path then only names it in messages).
void changeObjectAttributes(const std::wstring& path, DWORD set, DWORD clear, HANDLE file = nullptr);
}  // namespace RunTime::File

bool fileExist(const std::wstring& path, bool* isDirectory = nullptr);
std::uint32_t getFileAttributes(const std::wstring& path);
void setFileAttributes(const std::wstring& path, std::uint32_t bitsToClear);

class VFileFinder {
public:
    VFileFinder() noexcept = default;
    VFileFinder(const VFileFinder&) = delete;
    VFileFinder& operator=(const VFileFinder&) = delete;

    bool first(const std::wstring& pattern);
    bool next();
    void close() noexcept;

    std::wstring name() const { return data_.cFileName; }
    bool isDirectory() const noexcept { return (data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    bool isLink() const noexcept { return (data_.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    bool isDots() const;
    FILETIME lastWriteTime() const noexcept { return data_.ftLastWriteTime; }

private:
    struct FindTraits : RunTime::FileHandleTraits {
        static void close(HANDLE handle) noexcept { FindClose(handle); }
    };
    RunTime::Owner<FindTraits> handle_;
    WIN32_FIND_DATAW data_{};
};

class VDirectory {
public:
    static void createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* security);
    static std::wstring current();
};
