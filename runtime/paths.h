// Paths in Windows form: composing, taking apart, comparing and resolving.
// Every separator written here is '\'.
#pragma once

#include <string>

class VFileName {
public:
    static std::wstring combine(const std::wstring& base, const std::wstring& more);
    static std::wstring removeFileSpec(const std::wstring& path);
    static std::wstring normalize(const std::wstring& path);
    static std::wstring toLongPath(const std::wstring& path);
    // Without a leading "\\?\" or "\??\"; "\\?\UNC\" becomes "\\".
    static std::wstring withoutLongPrefix(const std::wstring& path);
    static std::wstring fileName(const std::wstring& path);
    static std::wstring extension(const std::wstring& path);
    static std::wstring removeExtension(const std::wstring& path);
    static std::wstring directory(const std::wstring& path);
    // 0 same, 1 b is an ancestor of a, 2 a is an ancestor of b,
    // 3 a orders before b, 4 a orders after b.
    static int comparePaths(const std::wstring& a, const std::wstring& b);
};

namespace RunTime {

std::wstring currentDirectory();
// The full path of the running executable, however long; empty when the
// system gives none.
std::wstring executablePath();
// The current directory as the system gives it; a failure is thrown with
// operation and function.
std::wstring readCurrentDirectory(const wchar_t* operation, const char* function);
bool striequal(const std::wstring& a, const std::wstring& b);

namespace File {
// The absolute long-path form of input, against base or the current directory.
std::wstring absolutePath(const std::wstring& base, const std::wstring& input);
}  // namespace File

}  // namespace RunTime
