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

// NUL, CON, AUX, PRN, COM1-COM9 and LPT1-LPT9, in any letter case.
bool isDeviceName(const std::wstring& name) {
    static const wchar_t* const kPlain[] = {L"NUL", L"CON", L"AUX", L"PRN"};
    if (name.size() == 3) {
        for (const wchar_t* device : kPlain)
            if (_wcsicmp(name.c_str(), device) == 0) return true;
        return false;
    }
    return name.size() == 4 && (_wcsnicmp(name.c_str(), L"COM", 3) == 0 || _wcsnicmp(name.c_str(), L"LPT", 3) == 0) &&
           name[3] >= L'1' && name[3] <= L'9';
}

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kNtPrefix = L"\\??\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";
constexpr wchar_t kSeparators[] = L"\\/";

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool startsWith(std::wstring_view text, std::wstring_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// "\\server\share", not a "\\?\" or "\\.\" prefix.
bool isUncPath(const std::wstring& path) {
    if (path.size() < 3 || !isSeparator(path[0]) || !isSeparator(path[1])) return false;
    return !(path.size() > 3 && (path[2] == L'?' || path[2] == L'.') && isSeparator(path[3]));
}

// Drops trailing '\' and "\." pairs, keeping at least one character.
void trimTail(std::wstring& path) {
    while (path.size() > 1) {
        if (path.back() == L'\\')
            path.pop_back();
        else if (path.size() > 2 && path.ends_with(L"\\."))
            path.resize(path.size() - 2);
        else
            break;
    }
}

// As trimTail, but a bare drive after the prefix ("\\?\C:") keeps its root separator.
void trimResolved(std::wstring& path) {
    trimTail(path);
    if (path.size() == 6 && path[5] == L':') path += L'\\';
}

// Length of the component starting at position, up to the next separator.
std::size_t componentLength(const std::wstring& path, std::size_t position) {
    const std::size_t end = path.find_first_of(kSeparators, position);
    return (end == std::wstring::npos ? path.size() : end) - position;
}

std::size_t skipSeparators(const std::wstring& path, std::size_t position) {
    const std::size_t next = path.find_first_not_of(kSeparators, position);
    return next == std::wstring::npos ? path.size() : next;
}

// A drive-letter path in long form by its text alone: composing never asks the process's current directories.
std::wstring prefixedDrivePath(const std::wstring& path) {
    if (path.size() < 2 || path[1] != L':') return path;
    return std::wstring(kLongPrefix) + (path.size() == 2 ? path + L'\\' : VFileName::normalize(path));
}

// "\\?\", "\??\" and "\\.\" names go to the system as they are written.
bool isPrefixed(const std::wstring& path) {
    return startsWith(path, kLongPrefix) || startsWith(path, kNtPrefix) || startsWith(path, kDevicePrefix);
}

// The current directory of a drive, as GetFullPathNameW gives it for the bare drive ("C:"): the process's own
// one for its current drive, else the one the environment keeps ("=C:"), else the drive's root.
std::wstring driveDirectory(wchar_t drive) {
    const wchar_t name[] = {drive, L':', L'\0'};
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetFullPathNameW(name, static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0) return std::wstring(name) + L'\\';
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.assign(length + 1, L'\0');
    }
}

// The root of an absolute name: "C:" for a drive, "\\server\share" for a share; npos end for neither.
std::pair<std::wstring, std::size_t> rootOf(const std::wstring& path) {
    if (path.size() > 2 && path[1] == L':' && isSeparator(path[2])) return {path.substr(0, 2), 2};
    if (isUncPath(path)) {
        const std::size_t server = skipSeparators(path, 2);
        const std::size_t share = skipSeparators(path, server + componentLength(path, server));
        const std::size_t end = share + componentLength(path, share);
        std::wstring root = L"\\\\" + path.substr(server, componentLength(path, server));
        if (share < path.size()) root += L'\\' + path.substr(share, end - share);
        return {root, end};
    }
    return {std::wstring(), std::wstring::npos};
}

// The same name written absolute, as Windows reads it: against the drive's current directory for "C:name",
// against the root of the current directory's drive or share for "\name", against the current directory else.
std::wstring qualified(const std::wstring& path) {
    if (rootOf(path).second != std::wstring::npos) return path;
    if (path.size() > 1 && path[1] == L':') return driveDirectory(path[0]) + L'\\' + path.substr(2);
    const std::wstring current = RunTime::currentDirectory();
    if (!path.empty() && isSeparator(path[0])) return rootOf(current).first + path;
    return current + L'\\' + path;
}

// A segment of a name, with its trailing characters as Windows drops them.
std::wstring_view trimmedSegment(std::wstring_view segment, bool last) {
    if (last) {
        segment = segment.substr(0, segment.find_last_not_of(L". ") + 1);
    } else if (segment.ends_with(L'.') && !segment.ends_with(L"..")) {
        segment.remove_suffix(1);
    }
    return segment;
}

// The rules of "File path formats on Windows systems", written out so that no length limit applies: the name is
// qualified (per-drive current directory, rooted names, shares), '/' is '\', runs of separators are one, "." and
// ".." fold (".." stays at the root; with refused set, it is refused there), a segment loses one trailing '.', the
// last one (unless a separator ends the name) all trailing dots and blanks, and a last segment that is exactly a
// reserved device name is that device. The result is the long form: "\\?\C:\...", "\\?\UNC\server\share\...", or
// "\\.\NUL" for a device.
std::wstring fullName(const std::wstring& path, bool* refused) {
    std::wstring text = path;
    std::replace(text.begin(), text.end(), L'/', L'\\');
    text = qualified(text);
    const auto [root, start] = rootOf(text);
    const bool endsWithSeparator = isSeparator(text.back());
    std::vector<std::wstring_view> segments;
    const std::wstring_view view(text);
    for (std::size_t i = skipSeparators(text, start); i < text.size(); i = skipSeparators(text, i)) {
        const std::size_t length = componentLength(text, i);
        const std::wstring_view segment = view.substr(i, length);
        i += length;
        if (segment == L".") continue;
        if (segment == L"..") {
            if (!segments.empty())
                segments.pop_back();
            else if (refused)
                *refused = true;
            continue;
        }
        const std::wstring_view kept = trimmedSegment(segment, i >= text.size() && !endsWithSeparator);
        if (!kept.empty()) segments.push_back(kept);
    }
    const bool share = root.size() > 1 && root[1] == L'\\';
    if (!share && !segments.empty() && !endsWithSeparator && isDeviceName(std::wstring(segments.back())))
        return std::wstring(kDevicePrefix) + std::wstring(segments.back());
    std::wstring result = std::wstring(kLongPrefix) + (share ? L"UNC\\" + root.substr(2) : root);
    for (const std::wstring_view segment : segments) (result += L'\\') += segment;
    // A separator that ends the name stays, as Windows keeps it; a bare root has one.
    if (segments.empty() ? !share : endsWithSeparator) result += L'\\';
    return result;
}
}  // namespace

std::wstring VFileName::withoutLongPrefix(const std::wstring& path) {
    if (!startsWith(path, kLongPrefix) && !startsWith(path, kNtPrefix)) return path;
    // A long-form share path has to turn back into "\\server\share".
    if (startsWith(std::wstring_view(path).substr(4), L"UNC\\")) return L"\\\\" + path.substr(8);
    return path.substr(4);
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
    if (path.empty() || isPrefixed(path)) return path;
    return fullName(path, nullptr);
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
    if (base.empty() && (input.size() == 6 || input.size() == 7) &&
        (striequal(input, L"CONOUT$") || striequal(input, L"CONIN$")))
        return input;
    if (base.empty() && input.empty())
        throwOsError(L"Empty input path", ERROR_INVALID_PARAMETER, raiseSite(kFunction, __LINE__));
    if (isPrefixed(input)) {
        std::wstring result = input;
        trimResolved(result);
        return result;
    }
    // A name with a drive or a share is whole; any other goes below the base, a rooted one too.
    const bool whole = (input.size() > 1 && input[1] == L':') || isUncPath(input);
    const std::wstring name = whole || base.empty()
                                  ? input
                                  : VFileName::withoutLongPrefix(base) + L'\\' + input.substr(skipSeparators(input, 0));
    bool refused = false;
    std::wstring result = fullName(name, &refused);
    trimResolved(result);
    if (refused)
        throw vexception(formatString(L"Invalid input path (%s) + (%s)", VFileName::withoutLongPrefix(base),
                                      VFileName::withoutLongPrefix(input)),
                         raiseSite(kFunction, __LINE__));
    return result;
}
