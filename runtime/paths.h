// Paths in Windows form: composing, taking apart, comparing and resolving.
// Every separator written here is '\'.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// The longest name the system holds, in characters without the terminator,
// "\\?\" form included ("Naming Files, Paths, and Namespaces").
inline constexpr std::size_t kLongestPathLength = 32767;

class VFileName {
public:
    static std::wstring combine(const std::wstring& base, const std::wstring& more);
    static std::wstring removeFileSpec(const std::wstring& path);
    static std::wstring normalize(const std::wstring& path);
    // A drive, a colon and a separator, or two separators (a share, a device): a name that no current folder
    // completes ("File path formats on Windows systems").
    static bool isFullyQualified(const std::wstring& path) noexcept;
    // The name as GetFullPathNameW resolves it, in long form (see RunTime::File::absolutePath), with ".." at the
    // root kept there as the system keeps it; a name written "\\?\" or "\??\", "CONIN$" and "CONOUT$" as they are.
    static std::wstring toLongPath(const std::wstring& path);
    // Without the prefix of "\\?\C:" or "\??\C:" ("C:"), "\\?\UNC\" becoming "\\"; any other name whole (a volume's
    // "\\?\Volume{...}", "\\?\GLOBALROOT\..." exist only with their prefix).
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
// The full path of module's file (null: the running executable), however
// long; empty when the system gives none.
std::wstring modulePath(HMODULE module);
std::wstring executablePath();
// The running executable's file name, extension included.
std::wstring executableFileName();
// The current directory as the system gives it; a failure is thrown with
// operation and function.
std::wstring readCurrentDirectory(const wchar_t* operation, const char* function);
bool striequal(const std::wstring& a, const std::wstring& b);

namespace File {
// input as GetFullPathNameW resolves it (the rules of "File path formats on Windows systems", without a length
// limit), in long form: "\\?\C:\..." for a drive, "\\?\UNC\server\share\..." for a share, a device path ("\\.\NUL",
// "\\.\C:") as the system gives it. A name written exactly "\\?\" or "\??\" is returned as written.
// Ours on top of the system's rules: with a base, every name without a drive, share or device goes below the base,
// a rooted "\name" too; a ".." above the root (the drive, "\\server\share", a device path's first component, or for
// a relative name the directory the system starts it at) is refused with "Invalid input path (%s) + (%s)", where
// the system would keep it at the root. An empty input without base fails with error 87; "CONIN$" and "CONOUT$"
// without base are returned as they are.
std::wstring absolutePath(const std::wstring& base, const std::wstring& input);
}  // namespace File

}  // namespace RunTime
