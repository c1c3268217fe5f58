// File removal through the volume's recycler directory. Kept apart from
// the rest of the file layer: the task run never removes files, and the
// unique names it needs would pull in rpcrt4 at every start.
#include "threads/recycler.h"

#include <windows.h>

#include <optional>
#include <vector>

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/access_token.h"
#include "runtime/acl.h"
#include "runtime/datetime.h"
#include "runtime/files.h"
#include "runtime/object_security.h"
#include "runtime/paths.h"
#include "runtime/security_descriptor.h"
#include "runtime/sid.h"
#include "threads/guard.h"
#include "threads/sync.h"

namespace {

// A recycler directory that the trust rule refuses.
class RecyclerRefused : public vexception {
public:
    using vexception::vexception;
};

// No account may rename or delete either directory, nor empty "Recycler" of what it holds: whoever could would make
// the trust rule below refuse the recycler for everyone. Everyone may pass through "Recycler", and move files into
// the directory that holds them and delete them there.
constexpr DWORD kEveryoneOnRecycler = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL |
                                      SYNCHRONIZE;  // 0x001200A1
constexpr DWORD kEveryoneOnHolder =
    kEveryoneOnRecycler | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD;  // 0x001200E7
constexpr DWORD kEveryoneOnFiles = 0x00130080;  // read attributes, delete, read control
// What Everyone must not have on a directory of the recycler.
constexpr DWORD forbiddenToEveryone(bool holdsFiles) { return DELETE | (holdsFiles ? 0 : FILE_DELETE_CHILD); }

struct Entry {
    const RunTime::Sid& sid;
    DWORD mask;
    DWORD inheritance;
};

std::vector<Entry> entries(bool holdsFiles) {
    constexpr DWORD kObjectsAndContainers = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    using RunTime::Sid;
    std::vector<Entry> list{{Sid::administrators(), GENERIC_ALL, kObjectsAndContainers},
                            {Sid::localSystem(), GENERIC_ALL, kObjectsAndContainers},
                            {Sid::everyone(), holdsFiles ? kEveryoneOnHolder : kEveryoneOnRecycler, NO_INHERITANCE}};
    if (holdsFiles) list.push_back({Sid::everyone(), kEveryoneOnFiles, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE});
    return list;
}

// Only administrators and SYSTEM may read what the recycler holds. Protected: the volume root's entries (Users may
// read there) reach neither directory nor what they hold.
SecurityDescriptor recyclerSecurity(bool holdsFiles) {
    std::vector<SecurityDescriptor::Entry> list;
    for (const Entry& entry : entries(holdsFiles))
        list.push_back(SecurityDescriptor::allow(entry.sid.get(), entry.mask, entry.inheritance, TRUSTEE_IS_USER));
    return SecurityDescriptor(list, false, true);
}

// A list that lets Everyone take the directory away: an earlier recycler's list.
bool everyoneMayRemove(const RunTime::Acl& list, bool holdsFiles) {
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    for (int index = 0; index < list.end(); ++index) {
        const RunTime::Ace entry = list.getAce(index);
        DWORD mask = entry.mask();
        MapGenericMask(&mask, &mapping);
        if (entry.type() == ACCESS_ALLOWED_ACE_TYPE && !(entry.flags() & INHERIT_ONLY_ACE) &&
            RunTime::Sid(entry.sid()) == RunTime::Sid::everyone() && (mask & forbiddenToEveryone(holdsFiles)))
            return true;
    }
    return false;
}

// Another account could have made the directory first, or made it a junction to somewhere it can read: one found
// is used only when it is a real directory owned by administrators, SYSTEM or this process's own account, and its
// list is made the recycler's when it is not protected yet or is an earlier one that let Everyone take it away.
void checkRecyclerDirectory(const std::wstring& path, const SecurityDescriptor& security, bool holdsFiles) {
    const DWORD attributes = getFileAttributes(path);
    const RunTime::Access::ObjectSecurity found = RunTime::Access::objectSecurity(path, SE_FILE_OBJECT);
    RunTime::Sid user, processOwner;
    user.loadFromProcess(GetCurrentProcess());
    processOwner.loadFromProcessOwner(GetCurrentProcess());
    const bool realDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    const RunTime::Sid& owner = found.owner;
    if (!realDirectory || !(owner == RunTime::Sid::administrators() || owner == RunTime::Sid::localSystem() ||
                            owner == user || owner == processOwner))
        throw RecyclerRefused(
            formatString(L"The recycler '%s' is not used: it is not a directory of the administrators", path),
            raiseSite("recyclerPath", __LINE__));
    if (found.protectedDacl && !everyoneMayRemove(found.dacl, holdsFiles)) return;
    RunTime::Acl list;
    list.copy(security.dacl());
    RunTime::Access::setSecurity(path, SE_FILE_OBJECT, list);
}

// withLists: the volume keeps access lists (a FAT volume keeps none, and nothing on it is private).
void ensureRecyclerDirectory(const std::wstring& path, bool withLists, bool holdsFiles) {
    SecurityDescriptor security = recyclerSecurity(holdsFiles);
    if (!fileExist(path)) {
        try {
            VDirectory::createDirectory(path, security.attributes());
        } catch (const vexception&) {
            if (!fileExist(path)) throw;  // else another process made it meanwhile
        }
    }
    if (!withLists) return;
    try {
        checkRecyclerDirectory(path, security, holdsFiles);
    } catch (const RecyclerRefused&) {
        throw;
    } catch (const vexception& e) {
        // Unreadable, or an earlier build's list that this account may not rewrite: not used either.
        throw RecyclerRefused(L"The recycler '" + path + L"' is not used: " + e.message(),
                              raiseSite("recyclerPath", __LINE__));
    }
}

// A file that stays in the recycler gets the list of what the recycler holds, so that its own entries (what it
// inherited where it was) no longer let others read it.
void protectRecycled(const std::wstring& path) {
    RunTime::Acl list;
    for (const RunTime::Sid* sid : {&RunTime::Sid::administrators(), &RunTime::Sid::localSystem()})
        list.add({RunTime::Ace::init(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, sid->get())});
    list.add({RunTime::Ace::init(ACCESS_ALLOWED_ACE_TYPE, 0, kEveryoneOnFiles, RunTime::Sid::everyone().get())});
    RunTime::Access::setSecurity(path, SE_FILE_OBJECT, list);
}

}  // namespace

std::vector<RecyclerEntry> recyclerEntries(bool holdsFiles) {
    std::vector<RecyclerEntry> result;
    for (const Entry& entry : entries(holdsFiles))
        result.push_back({entry.sid.toSidString(), entry.mask, entry.inheritance});
    return result;
}

std::wstring recyclerPath(const std::wstring& path) {
    static constexpr GuardedOperation kRecyclerPath{"recyclerPath", L"Unable to call recyclerPath(%s)", __LINE__,
                                                    __LINE__};
    return guarded(
        kRecyclerPath,
        [&] {
            // Resolved first: a relative name would get the boot volume. Through a junction the answer is the
            // volume it leads to, which may be longer than the name asked: room for the longest name.
            const std::wstring longPath = VFileName::toLongPath(path);
            std::vector<wchar_t> buffer(kLongestPathLength + 1);
            wchar_t* const volume = buffer.data();
            if (!GetVolumePathNameW(longPath.c_str(), volume, static_cast<DWORD>(buffer.size()))) {
                throwLastOsError([&] { return formatString(L"GetVolumePathName(%s) failed", path); }, "recyclerPath",
                                 __LINE__);
            }
            DWORD flags = 0;
            const bool withLists = !GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) ||
                                   (flags & FILE_PERSISTENT_ACLS);
            std::wstring recycler = VFileName::combine(VFileName::withoutLongPrefix(volume), L"Recycler");
            ensureRecyclerDirectory(recycler, withLists, false);
            recycler = VFileName::combine(recycler, L"{86066D57-9347-46a7-B4DB-971D9EF36D29}");
            ensureRecyclerDirectory(recycler, withLists, true);
            return recycler;
        },
        path);
}

void removeFile(const std::wstring& path, bool force, bool viaRecycler, std::int32_t retries, std::uint32_t pause) {
    std::wstring target = path;
    if (viaRecycler) {
        try {
            target = VFileName::combine(recyclerPath(path), RunTime::uniqueName(true));
        } catch (const RecyclerRefused&) {
            viaRecycler = false;  // planted by another account: removed where it is
        }
    }
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
    // Only a denied access can be repaired; a busy or missing file cannot. Each forced step reaches the file through
    // the one handle opened here, never by the name, which could be made to lead elsewhere meanwhile. A file with
    // another link is left as it is: its attributes, owner and list are also those of the file the other link names,
    // which another account may have planted here to have it changed with this process's rights.
    // The owner and list before a forced change are put back when the file stays all the same (a loaded DLL or a
    // mapped image is never deleted): its own accounts must not lose their access to a file that is still there.
    RunTime::FileHandle file;
    std::vector<unsigned char> before;
    std::optional<vexception> notSaved;
    std::optional<ErrorContext> notForced;
    bool granted = false;
    if (!removed && force && error == ERROR_ACCESS_DENIED) {
        // Another account's file may let nobody else read even its attributes.
        if (RunTime::Access::privilegeExist(SE_BACKUP_NAME)) RunTime::Access::enablePrivilege(SE_BACKUP_NAME);
        file = RunTime::File::openObject(source, FILE_READ_ATTRIBUTES);
        BY_HANDLE_FILE_INFORMATION information{};
        if (!file.valid() || !GetFileInformationByHandle(file.get(), &information)) {
            file.reset();  // gone meanwhile, or not ours to read: nothing is forced
        } else if (information.nNumberOfLinks > 1) {
            file.reset();
            notForced = ErrorContext{L"Not forced: the file has other links, and they would change with it",
                                     "removeFile", __LINE__};
        }
    }
    if (file.valid()) {
        try {
            before = RunTime::Access::savedSecurity(path, SE_FILE_OBJECT, file.get());
        } catch (const vexception& e) {
            notSaved = e;  // the removal goes on; only the put-back is then impossible
        }
        try {
            RunTime::grantDeleteAccess(path, SE_FILE_OBJECT, DELETE | FILE_WRITE_ATTRIBUTES, file.get());
            granted = true;
        } catch (const vexception&) {
            // A volume without ACLs, say: clearing read-only may still do.
        }
        try {
            RunTime::File::changeObjectAttributes(source, 0, FILE_ATTRIBUTE_READONLY, file.get());
        } catch (const vexception&) {
            // Gone meanwhile, or held by someone: the next steps tell, and the retries still run.
        }
        removed = step();
    }
    for (; !removed && retries > 0; --retries) {
        cancellableSleep(pause);
        removed = step();
    }
    if (!removed) {
        // Said only when something was changed: a put-back that finds nothing different writes nothing.
        std::optional<std::wstring> stayChanged;
        try {
            if (!before.empty()) RunTime::Access::restoreSecurity(path, SE_FILE_OBJECT, before, file.get());
        } catch (const vexception& e) {
            stayChanged = e.message();
        }
        if (notSaved && granted) stayChanged = notSaved->message();
        try {
            throwOsError(viaRecycler ? L"Move file '" + path + L"' to '" + longTarget + L"'"
                                     : L"DeleteFile '" + longTarget + L"'",
                         error, raiseSite("removeFile", __LINE__));
        } catch (vexception& e) {
            if (notForced) e.addContext(*notForced);
            if (stayChanged)
                e.addContext({L"The owner and list stay changed: " + *stayChanged, "removeFile", __LINE__});
            throw;
        }
    }
    // Deleted at once when possible; otherwise it waits in the recycler, unreadable to others.
    // A read-only file moves, but goes only once writable: force clears it there.
    if (!viaRecycler || erase()) return;
    try {
        if (force) RunTime::File::changeObjectAttributes(target, 0, FILE_ATTRIBUTE_READONLY);
        if (force && erase()) return;
    } catch (const vexception&) {
        // Still read-only: it waits, made private below.
    }
    try {
        protectRecycled(target);
    } catch (const vexception&) {
        // It waits with the list it had, as where it came from.
    }
}
