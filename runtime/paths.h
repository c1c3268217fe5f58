// Paths in Windows form: composing, taking apart, comparing and resolving.
// Every separator written here is '\'.
#pragma once

#include <windows.h>

#include <string>

class VFileName {
public:
    static std::wstring combine(const std::wstring& base, const std::wstring& more);
    static std::wstring removeFileSpec(const std::wstring& path);
    static std::wstring normalize(const std::wstring& path);
    // The name as Windows resolves it (see RunTime::File::absolutePath, with no base and ".." staying at
    // the root as Windows keeps it there), in long form; a "\\?\", "\??\" or "\\.\" name unchanged.
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
// input as Windows resolves it, in long form. The rules are those of "File path formats on Windows
// systems", applied without a length limit: a relative name goes below the current directory, "C:name"
// below drive C's current directory, a rooted "\name" (or "/name") to the root of the current
// directory's drive or share; '/' counts as '\' and a run of separators as one; "." and ".." fold;
// a segment loses one trailing '.', the last segment all its trailing dots and blanks (unless a
// separator ends the name); a last segment that is exactly a reserved device name (NUL, CON, AUX, PRN,
// COM1-9, LPT1-9, in any case, with a folder before it or not) is the device, "\\.\NUL". The result
// is "\\?\C:\..." for a drive and "\\?\UNC\server\share\..." for a share; a name already
// beginning "\\?\", "\??\" or "\\.\" is kept as written, without trailing separators.
// With a base, every name without a drive or share goes below the base, a rooted one too; a name with
// a drive or share ignores it. A ".." above the root (the drive, or "\\server\share") is refused with
// "Invalid input path (%s) + (%s)"; an empty input without base with error 87. "CONIN$" and
// "CONOUT$" without base are returned as they are.
std::wstring absolutePath(const std::wstring& base, const std::wstring& input);
}  // namespace File

}  // namespace RunTime
