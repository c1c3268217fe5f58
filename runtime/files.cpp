#include "runtime/files.h"

#include <string_view>
#include <vector>

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/paths.h"

namespace {

bool isOpen(HANDLE handle) noexcept { return RunTime::FileHandleTraits::valid(handle); }

// One attribute query on the long form; error is the reason when it answers INVALID_FILE_ATTRIBUTES.
DWORD queryAttributes(const std::wstring& path, DWORD& error) {
    const std::wstring longPath = VFileName::toLongPath(path);
    const DWORD attributes = GetFileAttributesW(longPath.c_str());
    error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
    return attributes;
}

// CreateFileW for paths the system can hold. Windows refuses longer ones
// itself; Wine cuts them short and opens whatever file the cut names.
HANDLE createFile(const std::wstring& path, DWORD desiredAccess, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                  DWORD creationDisposition, DWORD flagsAndAttributes) {
    if (path.size() > kLongestPathLength) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path.c_str(), desiredAccess, shareMode, security, creationDisposition, flagsAndAttributes,
                       nullptr);
}

}  // namespace

void VFile::open(const std::wstring& path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                 DWORD flagsAndAttributes) {
    const HANDLE handle =
        createFile(path, desiredAccess, shareMode, nullptr, creationDisposition, flagsAndAttributes);
    if (handle == INVALID_HANDLE_VALUE) {
        throwLastOsError([&] { return L"Open file '" + path + L"'"; }, "VFile::open", __LINE__);
    }
    handle_.reset(handle);
    name_ = path;
}

std::uint32_t VFile::read(void* buffer, std::uint32_t count) {
    DWORD done = 0;
    if (!ReadFile(handle_.get(), buffer, count, &done, nullptr)) {
        const DWORD error = GetLastError();
        if (error != ERROR_HANDLE_EOF)
            throwOsError(L"Read from file '" + name_ + L"'", error, raiseSite("VFile::read", __LINE__));
    }
    return done;
}

void VFile::write(const void* data, std::uint32_t size, bool insistOnAll) {
    DWORD written = 0;
    if (!WriteFile(handle_.get(), data, size, &written, nullptr)) {
        throwLastOsError([&] { return L"Write to file '" + name_ + L"'"; }, "VFile::write", __LINE__);
    }
    if (insistOnAll && written < size)
        throw vexception(formatString(L"Unable to write %lu bytes into file '", size) + name_ + L"'",
                         raiseSite("VFile::write", __LINE__));
}

std::uint32_t VFile::seek(LONG distanceLow, LONG* distanceHigh, DWORD moveMethod) {
    // 0xFFFFFFFF is also a valid low half of a large position; the call then
    // sets the last error to 0.
    const DWORD low = SetFilePointer(handle_.get(), distanceLow, distanceHigh, moveMethod);
    if (low == INVALID_SET_FILE_POINTER) {
        const DWORD error = GetLastError();
        if (error != ERROR_SUCCESS)
            throwOsError(L"Unable seek in file '" + name_ + L"'", error, raiseSite("VFile::seek", __LINE__));
    }
    return low;
}

std::string VFile::readAll(const std::wstring& path) {
    VFile file;
    file.open(VFileName::toLongPath(path), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    std::string content;
    char chunk[1024];
    while (const std::uint32_t count = file.read(chunk, sizeof chunk)) content.append(chunk, count);
    file.close();
    return content;
}

bool VFile::writeAll(const std::wstring& path, const std::string& content, bool overwrite) {
    if (!overwrite && fileExist(path)) return false;
    VFile file;
    file.open(VFileName::toLongPath(path), GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    file.write(content.data(), static_cast<std::uint32_t>(content.size()), true);
    file.close();
    return true;
}

RunTime::FileHandle VHandle::duplicate(HANDLE handle) {
    if (!isOpen(handle)) return RunTime::FileHandle();
    return RunTime::FileHandle(RunTime::duplicateHandle(handle, false, "VHandle::duplicate", __LINE__).release());
}

RunTime::FileHandle RunTime::File::create(const std::wstring& base, const std::wstring& path, DWORD desiredAccess,
                                          DWORD shareMode, SECURITY_ATTRIBUTES* security, DWORD creationDisposition,
                                          DWORD flagsAndAttributes) {
    const std::wstring resolved = absolutePath(base, path);
    FileHandle handle(
        createFile(resolved, desiredAccess, shareMode, security, creationDisposition, flagsAndAttributes));
    if (!handle.valid()) {
        throwLastOsError(
            [&] { return formatString(L"Unable to create file '%s'", VFileName::withoutLongPrefix(resolved)); },
            "RunTime::File::create", __LINE__);
    }
    return handle;
}

RunTime::FileHandle RunTime::File::openObject(const std::wstring& path, DWORD access) {
    const std::wstring longPath = VFileName::toLongPath(path);
    return FileHandle(CreateFileW(longPath.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
}

RunTime::FileHandle RunTime::File::reopenObject(HANDLE file, DWORD access) {
    return FileHandle(ReOpenFile(file, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
}

void RunTime::File::changeObjectAttributes(const std::wstring& path, DWORD set, DWORD clear, HANDLE object) {
    static constexpr const char* kFunction = "RunTime::File::changeObjectAttributes";
    constexpr DWORD kAccess = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
    const FileHandle file = object ? reopenObject(object, kAccess) : openObject(path, kAccess);
    FILE_BASIC_INFO information{};
    if (!file.valid() || !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &information, sizeof information))
        throwLastOsError([&] { return formatString(L"SetFileAttributes(%s)", path); }, kFunction, __LINE__);
    information = FILE_BASIC_INFO{{}, {}, {}, {}, (information.FileAttributes | set) & ~clear};
    if (!information.FileAttributes) information.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // 0 would change nothing
    if (!SetFileInformationByHandle(file.get(), FileBasicInfo, &information, sizeof information))
        throwLastOsError([&] { return formatString(L"SetFileAttributes(%s)", path); }, kFunction, __LINE__);
}

RunTime::FileHandle RunTime::File::openForReading(const std::wstring& path) {
    return create(std::wstring(), path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL);
}

RunTime::FileHandle RunTime::File::openForWriting(const std::wstring& path) {
    return create(std::wstring(), path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
}

bool fileExist(const std::wstring& path, bool* isDirectory) {
    DWORD error = ERROR_SUCCESS;
    const DWORD attributes = queryAttributes(path, error);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
        throwOsError(L"retrieves attributes for file or directory " + path, error, raiseSite("fileExist", __LINE__));
    }
    if (isDirectory) *isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

std::uint32_t getFileAttributes(const std::wstring& path) {
    DWORD error = ERROR_SUCCESS;
    const DWORD attributes = queryAttributes(path, error);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        throwOsError(formatString(L"GetFileAttributes(%s)", path), error, raiseSite("getFileAttributes", __LINE__));
    return attributes;
}

void setFileAttributes(const std::wstring& path, std::uint32_t bitsToClear) {
    const DWORD attributes = getFileAttributes(path) & ~bitsToClear;
    const std::wstring longPath = VFileName::toLongPath(path);
    if (!SetFileAttributesW(longPath.c_str(), attributes)) {
        throwLastOsError([&] { return formatString(L"SetFileAttributes(%s)", path); }, "setFileAttributes", __LINE__);
    }
}

bool VFileFinder::first(const std::wstring& pattern) {
    close();
    const std::wstring longPattern = VFileName::toLongPath(pattern);
    handle_.reset(FindFirstFileW(longPattern.c_str(), &data_));
    if (handle_.valid()) return true;
    const DWORD error = GetLastError();
    data_ = {};
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
    throwOsError(L"FindFirstFile(" + pattern + L")", error, raiseSite("VFileFinder::first", __LINE__));
}

bool VFileFinder::next() {
    if (!handle_.valid()) return false;
    if (FindNextFileW(handle_.get(), &data_)) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) throwOsError(L"FindNextFile", error, raiseSite("VFileFinder::next", __LINE__));
    data_ = {};
    return false;
}

void VFileFinder::close() noexcept {
    handle_.reset();
    data_ = {};
}

bool VFileFinder::isDots() const {
    const std::wstring_view name = data_.cFileName;
    return name.empty() || name == L"." || name == L"..";
}

void VDirectory::createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
    if (path.empty())
        throw ArgumentException(L"Unable to create directory with wrong name",
                                raiseSite("VDirectory::createDirectory", __LINE__));
    const std::wstring trimmed = path.substr(0, path.find_last_not_of(L"\\/") + 1);
    // A file of that name is no directory: the creation below names it.
    bool isDirectory = false;
    if (fileExist(trimmed, &isDirectory) && isDirectory) return;

    // A missing root is its own parent and a single relative name has none:
    // the climb stops there and the creation below reports the platform's error.
    std::wstring parent = VFileName::removeFileSpec(trimmed);
    parent.erase(parent.find_last_not_of(L"\\/") + 1);
    if (!parent.empty() && parent != trimmed) createDirectory(parent, security);

    const std::wstring longPath = VFileName::toLongPath(trimmed);
    if (!CreateDirectoryW(longPath.c_str(), security)) {
        const DWORD error = GetLastError();
        // Another process may have made it since we looked: that is success.
        if (error == ERROR_ALREADY_EXISTS && fileExist(trimmed, &isDirectory) && isDirectory) return;
        throwOsError(formatString(L"CreateDirectory(%s)", trimmed), error, raiseSite("makeDir", __LINE__));
    }
}

std::wstring VDirectory::current() {
    return RunTime::readCurrentDirectory(L"get current directory", "VDirectory::current");
}
