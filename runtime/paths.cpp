#include "runtime/paths.h"

#include <windows.h>
#include <pathcch.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <string_view>
#include <vector>

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/library.h"
#include "runtime/local_memory.h"

namespace {

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kNtPrefix = L"\\??\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";
constexpr wchar_t kSeparators[] = L"\\/";

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool startsWith(std::wstring_view text, std::wstring_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// "C:" in front, with or without a separator after it.
bool hasDrive(std::wstring_view path) { return path.size() > 1 && path[1] == L':'; }

// "\\server\share", not a "\\?\" or "\\.\" prefix.
bool isUncPath(std::wstring_view path) {
    if (path.size() < 3 || !isSeparator(path[0]) || !isSeparator(path[1])) return false;
    return !(path.size() > 3 && (path[2] == L'?' || path[2] == L'.') && isSeparator(path[3]));
}

// Length of the component starting at position, up to the next separator.
std::size_t componentLength(std::wstring_view path, std::size_t position) {
    const std::size_t end = path.find_first_of(kSeparators, position);
    return (end == std::wstring_view::npos ? path.size() : end) - position;
}

std::size_t skipSeparators(std::wstring_view path, std::size_t position) {
    const std::size_t next = path.find_first_not_of(kSeparators, position);
    return next == std::wstring_view::npos ? path.size() : next;
}

// A drive-letter path in long form by its text alone: composing never asks the process's current directories.
std::wstring prefixedDrivePath(const std::wstring& path) {
    if (path.size() < 2 || path[1] != L':') return path;
    return std::wstring(kLongPrefix) + (path.size() == 2 ? path + L'\\' : VFileName::normalize(path));
}

// Written exactly "\\?\" or "\??\", backslashes only: CreateFileW takes the name as it stands, and GetFullPathNameW
// would fold its ".." (and misread "\??\" as a relative name).
bool isVerbatim(std::wstring_view path) { return startsWith(path, kLongPrefix) || startsWith(path, kNtPrefix); }

// The console's own names, which CreateFileW opens as the console whatever the current directory.
bool isConsoleName(const std::wstring& path) {
    return (path.size() == 6 || path.size() == 7) &&
           (RunTime::striequal(path, L"CONOUT$") || RunTime::striequal(path, L"CONIN$"));
}

// The long form of a full name as GetFullPathNameW gives it: "\\?\" before a drive path, "\\?\UNC\" for a share's
// "\\"; a device path ("\\.\", "\\?\") as it is.
std::wstring longForm(std::wstring_view full) {
    std::wstring_view prefix;
    if (hasDrive(full)) {
        prefix = kLongPrefix;
    } else if (isUncPath(full)) {
        prefix = L"\\\\?\\UNC";
        full.remove_prefix(1);
    }
    std::wstring result;
    result.reserve(prefix.size() + full.size());
    return result.append(prefix).append(full);
}

// The name in long form as GetFullPathNameW resolves it, however long: the first call into a buffer on the stack, one
// more only for a longer name. Empty when the system gives none, with error its reason.
std::wstring systemLongName(const std::wstring& path, DWORD& error) {
    wchar_t local[MAX_PATH];
    std::wstring grown;
    wchar_t* buffer = local;
    DWORD size = MAX_PATH;
    DWORD length = 0;
    // Asked again while the name grows meanwhile (another thread changing the current directory).
    while ((length = GetFullPathNameW(path.c_str(), size, buffer, nullptr)) >= size) {
        grown.resize(length);
        buffer = grown.data();
        size = length;
    }
    error = length == 0 ? GetLastError() : ERROR_SUCCESS;
    return length == 0 ? std::wstring() : longForm(std::wstring_view(buffer, length));
}

// Where a name's root ends by its text: after "C:" or "\\server\share", after a device path's first component
// ("\\.\C:", "\\?\Volume{...}", "\\?\UNC\server\share"), at 0 for a rooted "\name" and a relative name.
std::size_t rootEnd(std::wstring_view path) {
    if (hasDrive(path)) return 2;
    if (path.size() < 2 || !isSeparator(path[0]) || !isSeparator(path[1])) return 0;
    std::size_t components = 2;  // server and share
    std::size_t end = 2;
    if (path.size() > 3 && (path[2] == L'?' || path[2] == L'.') && isSeparator(path[3])) {
        end = 4;
        components = _wcsnicmp(path.data() + 4, L"UNC", 3) == 0 && componentLength(path, 4) == 3 ? 3 : 1;
    }
    for (; components > 0 && end < path.size(); --components) {
        end = skipSeparators(path, end);
        end += componentLength(path, end);
    }
    return end;
}

// Walks the components after position: the depth at the end, and how far a ".." climbed above the start.
struct Climb {
    long depth = 0;
    long above = 0;
};
Climb climb(std::wstring_view path, std::size_t position) {
    Climb result;
    for (std::size_t i = skipSeparators(path, position); i < path.size(); i = skipSeparators(path, i)) {
        const std::wstring_view component = path.substr(i, componentLength(path, i));
        i += component.size();
        if (component == L"..")
            result.above = std::max(result.above, 1 - result.depth--);
        else if (component != L".")
            ++result.depth;
    }
    return result;
}

// A ".." above the root, by the name's text: the system would keep it at the root without a word. A relative name
// ("name", "C:name") starts at the system's directory for it, whose own depth counts; asked only when a ".." climbs.
bool climbsAboveRoot(const std::wstring& path) {
    const long above = climb(path, rootEnd(path)).above;
    if (above == 0) return false;
    const bool drive = hasDrive(path);
    if ((!path.empty() && isSeparator(path[0])) || (drive && path.size() > 2 && isSeparator(path[2]))) return true;
    DWORD error = ERROR_SUCCESS;
    const std::wstring start = VFileName::withoutLongPrefix(systemLongName(drive ? path.substr(0, 2) : L".", error));
    return above > climb(start, rootEnd(start)).depth;
}
}  // namespace

std::wstring VFileName::withoutLongPrefix(const std::wstring& path) {
    if (!isVerbatim(path)) return path;
    const std::wstring_view rest = std::wstring_view(path).substr(4);
    // A share's long form turns back into "\\server\share" and a drive's into "C:\..."; every other name (a volume's,
    // GLOBALROOT) exists only with its prefix.
    if (rest.size() >= 4 && _wcsnicmp(rest.data(), L"UNC\\", 4) == 0) return L"\\\\" + std::wstring(rest.substr(4));
    if (rest.size() >= 2 && rest[1] == L':' && (rest.size() == 2 || rest[2] == L'\\')) return std::wstring(rest);
    return path;
}

std::wstring VFileName::combine(const std::wstring& base, const std::wstring& more) {
    // more is always below base, even when it starts with a separator.
    const std::wstring relative = more.substr(skipSeparators(more, 0));
    RunTime::LocalMemory<wchar_t> joined;
    const HRESULT result =
        PathAllocCombine(prefixedDrivePath(base).c_str(), relative.c_str(), PATHCCH_ALLOW_LONG_PATHS, joined.put());
    if (FAILED(result))
        throw vexception(formatString(L"PathAllocCombine(%s, %s) failed: error code 0x%lx", base, more,
                                      static_cast<unsigned long>(result)),
                         raiseSite("VFileName::combine", __LINE__));
    return withoutLongPrefix(joined.get());
}

std::wstring VFileName::removeFileSpec(const std::wstring& path) {
    std::wstring normal = normalize(path);
    // normalize keeps one of a share's two leading separators; its parent must stay on the share.
    if (isUncPath(path)) normal.insert(0, 1, L'\\');
    const std::wstring longPath = prefixedDrivePath(normal);
    std::vector<wchar_t> buffer(longPath.begin(), longPath.end());
    buffer.push_back(L'\0');
    const HRESULT result = PathCchRemoveFileSpec(buffer.data(), buffer.size());
    if (result != S_OK && result != S_FALSE)
        throw vexception(formatString(L"PathCchRemoveFileSpec(%s) failed: error code 0x%lx", path,
                                      static_cast<unsigned long>(result)),
                         raiseSite("VFileName::removeFileSpec", __LINE__));
    return withoutLongPrefix(buffer.data());
}

bool VFileName::isFullyQualified(const std::wstring& path) noexcept {
    if (hasDrive(path)) return path.size() >= 3 && isSeparator(path[2]);
    return path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]);
}

std::wstring VFileName::normalize(const std::wstring& path) {
    std::wstring rest = path;
    std::replace(rest.begin(), rest.end(), L'/', L'\\');
    std::wstring prefix;
    if (startsWith(rest, kLongPrefix) || startsWith(rest, kDevicePrefix)) {
        prefix = rest.substr(0, 4);
        rest.erase(0, 4);
    }
    const bool leading = !rest.empty() && rest.front() == L'\\';
    const bool trailing = rest.size() > 1 && rest.back() == L'\\';

    std::vector<std::wstring_view> parts;
    const std::wstring_view view(rest);
    for (std::size_t start = 0; start <= view.size();) {
        std::size_t end = view.find(L'\\', start);
        if (end == std::wstring_view::npos) end = view.size();
        const std::wstring_view piece = view.substr(start, end - start);
        if (piece == L"..") {
            if (!parts.empty() && parts.back() != L"..")
                parts.pop_back();
            else
                parts.push_back(piece);
        } else if (!piece.empty() && piece != L".") {
            parts.push_back(piece);
        }
        start = end + 1;
    }

    std::wstring result = prefix;
    if (leading) result += L'\\';
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) result += L'\\';
        result += parts[i];
    }
    // "\x\..\" folds to one separator, not to "\\", which would read as a share.
    if (trailing && (result.empty() || result.back() != L'\\')) result += L'\\';
    return result;
}

std::wstring VFileName::toLongPath(const std::wstring& path) {
    if (path.empty() || isVerbatim(path) || isConsoleName(path)) return path;
    DWORD error = ERROR_SUCCESS;
    std::wstring full = systemLongName(path, error);
    // A name the system cannot resolve goes on as written: the file call that follows reports why.
    return full.empty() ? path : full;
}

namespace {

// shlwapi is bound on first use: nothing on the task run needs it.
template <class Function>
Function* shlwapi(const char* name) {
    Function* function = RunTime::systemFunction<Function>(L"shlwapi.dll", name);
    if (!function) {
        throwLastOsError([&] { return formatString(L"Unable to load %s from shlwapi.dll", name); },
                         "VFileName::shlwapi", __LINE__);
    }
    return function;
}

const wchar_t* findFileName(const std::wstring& path) {
    return shlwapi<decltype(PathFindFileNameW)>("PathFindFileNameW")(path.c_str());
}

}  // namespace

std::wstring VFileName::fileName(const std::wstring& path) { return findFileName(path); }

std::wstring VFileName::extension(const std::wstring& path) {
    return shlwapi<decltype(PathFindExtensionW)>("PathFindExtensionW")(path.c_str());
}

std::wstring VFileName::removeExtension(const std::wstring& path) {
    std::vector<wchar_t> buffer(path.begin(), path.end());
    buffer.push_back(L'\0');
    shlwapi<decltype(PathRemoveExtensionW)>("PathRemoveExtensionW")(buffer.data());
    return buffer.data();
}

std::wstring VFileName::directory(const std::wstring& path) {
    std::wstring result = path.substr(0, static_cast<std::size_t>(findFileName(path) - path.c_str()));
    result.erase(result.find_last_not_of(kSeparators) + 1);
    return result;
}

int VFileName::comparePaths(const std::wstring& a, const std::wstring& b) {
    const std::wstring left = withoutLongPrefix(a);
    const std::wstring right = withoutLongPrefix(b);
    std::size_t i = 0;
    std::size_t j = 0;
    for (;;) {
        if (i == left.size()) return j == right.size() ? 0 : 2;
        if (j == right.size()) return 1;
        const std::size_t leftLength = componentLength(left, i);
        const std::size_t rightLength = componentLength(right, j);
        if (leftLength != rightLength) return leftLength < rightLength ? 3 : 4;
        const int order = _wcsnicmp(left.c_str() + i, right.c_str() + j, leftLength);
        if (order != 0) return order < 0 ? 3 : 4;
        i = skipSeparators(left, i + leftLength);
        j = skipSeparators(right, j + rightLength);
    }
}

std::wstring RunTime::readCurrentDirectory(const wchar_t* operation, const char* function) {
    // A directory changed meanwhile by another thread only costs one more round.
    std::vector<wchar_t> buffer(256);
    for (;;) {
        const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) {
            throwLastOsError([&] { return operation; }, function, __LINE__);
        }
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.assign(length + 1, L'\0');
    }
}

std::wstring RunTime::modulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return std::wstring();
        // A path that filled the buffer may have been cut short.
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

std::wstring RunTime::executablePath() { return modulePath(nullptr); }

std::wstring RunTime::executableFileName() {
    const std::wstring path = executablePath();
    // Not through the shell's path functions: loading them costs a task run
    // more than all its records together.
    return path.substr(path.find_last_of(L"\\/") + 1);
}

std::wstring RunTime::currentDirectory() {
    std::wstring result = readCurrentDirectory(L"Unable to get current directory", "RunTime::currentDirectory");
    std::replace(result.begin(), result.end(), L'/', L'\\');
    return result;
}

bool RunTime::striequal(const std::wstring& a, const std::wstring& b) {
    const int result = CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()),
                                      b.c_str(), static_cast<int>(b.size()));
    if (result == 0) {
        throwLastOsError([&] { return formatString(L"Unable to compare strings (%s) with (%s)", a, b); },
                         "RunTime::striequal", __LINE__);
    }
    return result == CSTR_EQUAL;
}

std::wstring RunTime::File::absolutePath(const std::wstring& base, const std::wstring& input) {
    constexpr const char* kFunction = "RunTime::File::absolutePath";
    if (base.empty() && isConsoleName(input)) return input;
    if (base.empty() && input.empty())
        throwOsError(L"Empty input path", ERROR_INVALID_PARAMETER, raiseSite(kFunction, __LINE__));
    if (isVerbatim(input)) return input;
    // A name with a drive, a share or a device is whole; any other goes below the base, a rooted one too.
    const bool whole =
        base.empty() || hasDrive(input) || (input.size() > 1 && isSeparator(input[0]) && isSeparator(input[1]));
    const std::wstring below =
        whole ? std::wstring() : VFileName::withoutLongPrefix(base) + L'\\' + input.substr(skipSeparators(input, 0));
    const std::wstring& name = whole ? input : below;
    if (climbsAboveRoot(name))
        throw vexception(formatString(L"Invalid input path (%s) + (%s)", VFileName::withoutLongPrefix(base),
                                      VFileName::withoutLongPrefix(input)),
                         raiseSite(kFunction, __LINE__));
    DWORD error = ERROR_SUCCESS;
    std::wstring result = systemLongName(name, error);
    if (result.empty())
        throwOsError(formatString(L"GetFullPathNameW(%s)", name), error, raiseSite(kFunction, __LINE__));
    return result;
}
