// A fresh directory under the temp folder, removed with everything in it.
#pragma once

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/datetime.h"

namespace test_support {

// The sorted names of the entries that match pattern (a path with wildcards), directories only when asked.
inline std::vector<std::wstring> fileNames(const std::wstring& pattern, bool directories = false) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW(pattern.c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L".." && directories == !!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(name);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    std::ranges::sort(names);
    return names;
}

// Removes a tree given in long form, read-only entries included. A junction or symbolic link goes itself: nothing
// is followed into what it leads to, and that keeps its attributes.
inline void removeTree(const std::wstring& longPath) {
    for (const bool directories : {false, true})
        for (const std::wstring& name : fileNames(longPath + L"\\*", directories)) {
            const std::wstring entry = longPath + L"\\" + name;
            const DWORD attributes = GetFileAttributesW(entry.c_str());
            const bool link = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
            if (!link) SetFileAttributesW(entry.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!directories) DeleteFileW(entry.c_str());
            else if (link) RemoveDirectoryW(entry.c_str());
            else removeTree(entry);
        }
    RemoveDirectoryW(longPath.c_str());
}

class TempDir {
public:
    explicit TempDir(const std::wstring& prefix) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + prefix + RunTime::uniqueName(true);
        if (path_.size() < 2 || path_[1] != L':' || !CreateDirectoryW(path_.c_str(), nullptr))
            throw std::runtime_error("no directory below the temp folder");
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // Removes only what lies below the temp folder, through long paths. (Shell file operations are unsafe here: Wine's
    // cut paths past MAX_PATH short and can end up deleting relative to the current directory.)
    ~TempDir() { removeTree(L"\\\\?\\" + path_); }

    const std::wstring& path() const noexcept { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

inline std::string readBytes(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace test_support
