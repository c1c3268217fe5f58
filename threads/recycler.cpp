// File removal through the volume's recycler directory. Kept apart from
// the rest of the file layer: the task run never removes files, and the
// unique names it needs would pull in rpcrt4 at every start.
#include "threads/recycler.h"

#include <windows.h>

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/datetime.h"
#include "runtime/files.h"
#include "runtime/paths.h"
#include "runtime/security.h"
#include "threads/guard.h"
#include "threads/sync.h"

namespace {

// Anyone may list the recycler, move a file in and delete it there; only
// administrators and SYSTEM may read what it holds.
void ensureRecyclerDirectory(const std::wstring& path) {
    constexpr DWORD kObjectsAndContainers = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    constexpr DWORD kObjectsOnly = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;
    constexpr DWORD kEveryoneOnDirectories = 0x001300E7;  // list, add, traverse, delete child and delete
    constexpr DWORD kEveryoneOnFiles = 0x00130080;        // read attributes, delete, read control
    if (fileExist(path)) return;
    const VSID admins = VSID::admins();
    const VSID system = VSID::system();
    const VSID everyone = VSID::everyone();
    SecurityDescriptor security(
        {SecurityDescriptor::allow(admins.get(), GENERIC_ALL, kObjectsAndContainers, TRUSTEE_IS_USER),
         SecurityDescriptor::allow(system.get(), GENERIC_ALL, kObjectsAndContainers, TRUSTEE_IS_USER),
         SecurityDescriptor::allow(everyone.get(), kEveryoneOnDirectories, CONTAINER_INHERIT_ACE, TRUSTEE_IS_USER),
         SecurityDescriptor::allow(everyone.get(), kEveryoneOnFiles, kObjectsOnly, TRUSTEE_IS_USER)},
        false);
    try {
        VDirectory::createDirectory(path, security.attributes());
    } catch (const vexception&) {
        if (!fileExist(path)) throw;  // else another process made it meanwhile
    }
}

// Clears read-only on the name itself, never through a link.
void clearReadOnly(const std::wstring& path) {
    const RunTime::FileHandle file = RunTime::File::openObject(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    FILE_BASIC_INFO information{};
    if (!file.valid() || !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &information, sizeof information))
        throwLastOsError([&] { return formatString(L"SetFileAttributes(%s)", path); }, "removeFile", __LINE__);
    information = FILE_BASIC_INFO{{}, {}, {}, {}, information.FileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY}};
    if (!information.FileAttributes) information.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // 0 would change nothing
    if (!SetFileInformationByHandle(file.get(), FileBasicInfo, &information, sizeof information))
        throwLastOsError([&] { return formatString(L"SetFileAttributes(%s)", path); }, "removeFile", __LINE__);
}

}  // namespace

std::wstring recyclerPath(const std::wstring& path) {
    static constexpr GuardedOperation kRecyclerPath{"recyclerPath", L"Unable to call recyclerPath(%s)", __LINE__,
                                                    __LINE__};
    return guarded(
        kRecyclerPath,
        [&] {
            const std::wstring longPath = VFileName::toLongPath(path);
            wchar_t volume[MAX_PATH];
            if (!GetVolumePathNameW(longPath.c_str(), volume, MAX_PATH)) {
                throwLastOsError([&] { return formatString(L"GetVolumePathName(%s) failed", path); }, "recyclerPath",
                                 __LINE__);
            }
            std::wstring recycler = VFileName::combine(VFileName::withoutLongPrefix(volume), L"Recycler");
            ensureRecyclerDirectory(recycler);
            recycler = VFileName::combine(recycler, L"{86066D57-9347-46a7-B4DB-971D9EF36D29}");
            ensureRecyclerDirectory(recycler);
            return recycler;
        },
        path);
}

void removeFile(const std::wstring& path, bool force, bool viaRecycler, std::int32_t retries, std::uint32_t pause) {
    const std::wstring target =
        viaRecycler ? VFileName::combine(recyclerPath(path), RunTime::uniqueName(true)) : path;
    const std::wstring source = VFileName::toLongPath(path);
    const std::wstring longTarget = VFileName::toLongPath(target);
    // The attributes of the name itself: a junction or directory link is
    // removed with RemoveDirectory, which takes the link and leaves its target.
    const DWORD attributes = GetFileAttributesW(source.c_str());
    const bool directoryLink = attributes != INVALID_FILE_ATTRIBUTES &&
                               (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    const auto erase = [&] {
        return directoryLink ? RemoveDirectoryW(longTarget.c_str()) : DeleteFileW(longTarget.c_str());
    };
    DWORD error = ERROR_SUCCESS;
    const auto step = [&] {
        if (viaRecycler ? MoveFileExW(source.c_str(), longTarget.c_str(), 0) : erase()) return true;
        error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND;
    };

    bool removed = step();
    // Only a denied access can be repaired; a busy or missing file cannot.
    if (!removed && force && error == ERROR_ACCESS_DENIED) {
        try {
            RunTime::grantDeleteAccess(path, SE_FILE_OBJECT, DELETE | FILE_WRITE_ATTRIBUTES);
        } catch (const vexception&) {
            // A volume without ACLs, say: clearing read-only may still do.
        }
        try {
            clearReadOnly(source);
        } catch (const vexception&) {
            // Gone meanwhile, or held by someone: the next steps tell, and the retries still run.
        }
        removed = step();
    }
    for (; !removed && retries > 0; --retries) {
        cancellableSleep(pause);
        removed = step();
    }
    if (!removed)
        throwOsError(viaRecycler ? L"Move file '" + path + L"' to '" + longTarget + L"'"
                                 : L"DeleteFile '" + longTarget + L"'",
                     error, raiseSite("removeFile", __LINE__));
    // Deleted at once when possible; otherwise it waits in the recycler, unreadable to others.
    // A read-only file moves, but goes only once writable: force clears it there.
    if (viaRecycler && !erase() && force) {
        try {
            clearReadOnly(target);
            erase();
        } catch (const vexception&) {
            // It waits in the recycler like a busy file.
        }
    }
}
