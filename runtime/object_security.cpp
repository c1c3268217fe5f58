#include "runtime/object_security.h"

#include <algorithm>
#include <cstring>

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/access_token.h"
#include "runtime/files.h"
#include "runtime/local_memory.h"
#include "runtime/paths.h"

namespace {

// A file object's own handle for access: reopened from file when given, so that every step reaches the one file
// that was opened (and checked) first, else opened on the name itself.
RunTime::FileHandle openFileObject(const std::wstring& name, HANDLE file, DWORD access) {
    return file ? RunTime::File::reopenObject(file, access) : RunTime::File::openObject(name, access);
}

// Get/SetNamedSecurityInfo follow links; file objects go through their own handle.
DWORD readSecurity(const std::wstring& name, SE_OBJECT_TYPE type, HANDLE object, PSID* owner, PACL* dacl,
                   RunTime::LocalMemory<void>& descriptor) {
    constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (type != SE_FILE_OBJECT)
        return GetNamedSecurityInfoW(name.c_str(), type, kWhat, owner, nullptr, dacl, nullptr, descriptor.put());
    const RunTime::FileHandle file = openFileObject(name, object, READ_CONTROL);
    if (!file.valid()) return GetLastError();
    return GetSecurityInfo(file.get(), type, kWhat, owner, nullptr, dacl, nullptr, descriptor.put());
}

// readSecurity, a failure raised for function.
RunTime::LocalMemory<void> readDescriptor(const std::wstring& name, SE_OBJECT_TYPE type, HANDLE object, PSID* owner,
                                          PACL* dacl, const char* function) {
    RunTime::LocalMemory<void> descriptor;
    const DWORD status = readSecurity(name, type, object, owner, dacl, descriptor);
    if (status != ERROR_SUCCESS)
        throwOsError(formatString(L"Unable to get the object (%s) security info", name), status,
                     raiseSite(function, __LINE__));
    return descriptor;
}

// File objects through a handle on the object itself, with the low-level call, which changes that object alone:
// SetSecurityInfo would carry a directory's inheritable entries into everything below it, through a junction into
// the tree it leads to. A file has nothing below it, and its list is written whole.
DWORD writeSecurity(const std::wstring& name, SE_OBJECT_TYPE type, HANDLE object, SECURITY_INFORMATION information,
                    PSID owner, PACL dacl) {
    if (type != SE_FILE_OBJECT)
        return SetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()), type, information, owner, nullptr, dacl,
                                     nullptr);
    const bool writesDacl = information & DACL_SECURITY_INFORMATION;
    const RunTime::FileHandle file =
        openFileObject(name, object, (owner ? WRITE_OWNER : 0) | (writesDacl ? WRITE_DAC : 0));
    SECURITY_DESCRIPTOR descriptor;
    if (!file.valid() || !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        (owner && !SetSecurityDescriptorOwner(&descriptor, owner, FALSE)) ||
        (writesDacl && !SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE)) ||
        ((information & PROTECTED_DACL_SECURITY_INFORMATION) &&
         !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) ||
        !SetKernelObjectSecurity(file.get(), information, &descriptor))
        return GetLastError();
    return ERROR_SUCCESS;
}

// The file rights each generic right stands for.
ACCESS_MASK mapFileGenericRights(ACCESS_MASK mask) {
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    MapGenericMask(&mask, &mapping);
    return mask;
}

bool sameApartFrom(const RunTime::Ace& a, const RunTime::Ace& b, bool flags) {
    if (a.size() != b.size()) return false;
    RunTime::Ace left = a;
    RunTime::Ace right = b;
    if (flags) {
        left.setFlags(0);
        right.setFlags(0);
    } else {
        left.setMask(0);
        right.setMask(0);
    }
    return std::memcmp(left.data(), right.data(), a.size()) == 0;
}

// One entry for those identical apart from their flags (or masks), the
// flags (masks) combined; rebuilt, the list is in canonical order.
RunTime::Acl mergeEntries(const RunTime::Acl& acl, bool flags) {
    std::vector<RunTime::Ace> merged;
    for (int index = 0; index < acl.end(); ++index) {
        const RunTime::Ace entry = acl.getAce(index);
        const auto same = std::find_if(merged.begin(), merged.end(),
                                       [&](const RunTime::Ace& other) { return sameApartFrom(other, entry, flags); });
        if (same == merged.end()) {
            merged.push_back(entry);
        } else if (flags) {
            const BYTE inheritOnly = same->flags() & entry.flags() & INHERIT_ONLY_ACE;
            same->setFlags(((same->flags() | entry.flags()) & ~INHERIT_ONLY_ACE) | inheritOnly);
        } else {
            same->setMask(same->mask() | entry.mask());
        }
    }
    RunTime::Acl result;
    result.add(merged);
    return result;
}

}  // namespace

namespace RunTime::Access {

void setOwner(const std::wstring& objectName, SE_OBJECT_TYPE type, HANDLE file) {
    if (privilegeExist(SE_TAKE_OWNERSHIP_NAME)) enablePrivilege(SE_TAKE_OWNERSHIP_NAME);
    Sid owner;
    owner.loadFromProcessOwner(GetCurrentProcess());
    const DWORD status = writeSecurity(objectName, type, file, OWNER_SECURITY_INFORMATION, owner.get(), nullptr);
    if (status != ERROR_SUCCESS)
        throwOsError(formatString(L"Unable to set the object (%s) owner", VFileName::withoutLongPrefix(objectName)),
                     status, raiseSite("RunTime::Access::setOwner", __LINE__));
}

ObjectSecurity objectSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type, HANDLE file) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    const LocalMemory<void> descriptor =
        readDescriptor(objectName, type, file, &owner, &dacl, "RunTime::Access::getSecurity");
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ObjectSecurity result{Sid(owner), GetSecurityDescriptorControl(descriptor.get(), &control, &revision) &&
                                          (control & SE_DACL_PROTECTED), Acl()};
    if (dacl) {
        result.dacl.copy(dacl);
    } else {
        // No DACL at all grants everyone everything.
        result.dacl.add({Ace::init(ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, GENERIC_ALL,
                                   Sid::everyone().get())});
    }
    return result;
}

Acl getSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type, HANDLE file) {
    return objectSecurity(objectName, type, file).dacl;
}

Acl removeStaleAces(const Acl& acl) {
    Acl result = acl;
    for (int index = 0; index < acl.end(); ++index) {
        Sid sid(acl.getAce(index).sid());
        try {
            sid.lookupByAccountNameAndDomain();
        } catch (const VNoneMappedException&) {
            result = result.deleteAce(sid.get(), false);
        } catch (const vexception&) {
            // Not known to be gone: the entry stays.
        }
    }
    return result;
}

void setSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type, const Acl& acl, HANDLE file) {
    const Acl current = removeStaleAces(acl);
    constexpr SECURITY_INFORMATION kProtectedDacl = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    DWORD status = writeSecurity(objectName, type, file, kProtectedDacl, nullptr, current.get());
    if (status == ERROR_ACCESS_DENIED) {
        setOwner(objectName, type, file);
        status = writeSecurity(objectName, type, file, kProtectedDacl, nullptr, current.get());
    }
    if (status != ERROR_SUCCESS)
        throwOsError(formatString(L"Unable to set the object (%s) security info", objectName), status,
                     raiseSite("RunTime::Access::setSecurity", __LINE__));
}

std::vector<Sid> ownIdentities() {
    std::vector<Sid> own;
    const std::vector<unsigned char> buffer = processTokenGroups();
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) own.emplace_back(groups->Groups[i].Sid);
    own.emplace_back().loadFromProcess(GetCurrentProcess());
    own.emplace_back().loadFromProcessOwner(GetCurrentProcess());
    own.push_back(Sid::localSystem());
    return own;
}

Acl deleteAccessList(const Acl& current, ACCESS_MASK mask, const Sid& owner, const std::vector<Sid>& own,
                     bool fileObject, BYTE entryFlags) {
    Acl result;
    result.add({Ace::init(ACCESS_ALLOWED_ACE_TYPE, entryFlags, mask, owner.get()),
                Ace::init(ACCESS_ALLOWED_ACE_TYPE, entryFlags, mask, Sid::localSystem().get())});

    Acl mapped;
    for (int index = 0; index < current.end(); ++index) {
        Ace entry = current.getAce(index);
        if (fileObject) entry.setMask(mapFileGenericRights(entry.mask()));
        mapped.add(std::vector<Ace>{entry});
    }
    Acl normal = mergeEntries(mergeEntries(mapped, true), false);
    normal = normal.deleteAce(owner.get(), true);
    for (const Sid& sid : own) normal = normal.deleteAce(sid.get(), true);
    result.add(normal);
    return result;
}

}  // namespace RunTime::Access

void RunTime::grantDeleteAccess(const std::wstring& objectName, SE_OBJECT_TYPE type, ACCESS_MASK mask, HANDLE file) {
    Access::setOwner(objectName, type, file);
    Sid owner;
    owner.loadFromProcessOwner(GetCurrentProcess());
    const Acl current = Access::getSecurity(objectName, type, file);
    // Only a real directory has anything below it to inherit; a link's entries would reach what it leads to.
    FILE_BASIC_INFO basic{};
    const DWORD attributes =
        type != SE_FILE_OBJECT ? FILE_ATTRIBUTE_DIRECTORY
        : !file                ? GetFileAttributesW(VFileName::toLongPath(objectName).c_str())
        : GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ? basic.FileAttributes
                                                                                   : INVALID_FILE_ATTRIBUTES;
    const bool container = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    Access::setSecurity(objectName, type,
                        Access::deleteAccessList(current, mask, owner, Access::ownIdentities(), type == SE_FILE_OBJECT,
                                                 container ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0),
                        file);
}

// Putting an object's owner and list back, kept apart from the rest.
std::vector<unsigned char> RunTime::Access::savedSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type,
                                                          HANDLE file) {
    if (privilegeExist(SE_BACKUP_NAME)) enablePrivilege(SE_BACKUP_NAME);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    const LocalMemory<void> descriptor =
        readDescriptor(objectName, type, file, &owner, &dacl, "RunTime::Access::savedSecurity");
    const auto* bytes = static_cast<const unsigned char*>(descriptor.get());
    return std::vector<unsigned char>(bytes, bytes + GetSecurityDescriptorLength(descriptor.get()));
}

namespace {

// The parts of a self-relative descriptor that a put-back compares and writes.
struct Parts {
    PSID owner = nullptr;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
};

bool partsOf(const void* descriptor, Parts& parts) {
    const auto self = const_cast<void*>(descriptor);
    BOOL defaulted = FALSE;
    DWORD revision = 0;
    return GetSecurityDescriptorOwner(self, &parts.owner, &defaulted) &&
           GetSecurityDescriptorDacl(self, &parts.present, &parts.dacl, &defaulted) &&
           GetSecurityDescriptorControl(self, &parts.control, &revision);
}

// Byte for byte, and protected alike.
bool sameList(const Parts& a, const Parts& b) {
    if ((a.control & SE_DACL_PROTECTED) != (b.control & SE_DACL_PROTECTED) || !a.present != !b.present) return false;
    if (!a.present || !a.dacl || !b.dacl) return a.dacl == b.dacl;
    ACL_SIZE_INFORMATION left{}, right{};
    return GetAclInformation(a.dacl, &left, sizeof left, AclSizeInformation) &&
           GetAclInformation(b.dacl, &right, sizeof right, AclSizeInformation) &&
           left.AclBytesInUse == right.AclBytesInUse &&
           std::memcmp(a.dacl, b.dacl, left.AclBytesInUse) == 0;
}

}  // namespace

void RunTime::Access::restoreSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type,
                                      const std::vector<unsigned char>& saved, HANDLE file) {
    constexpr const char* kFunction = "RunTime::Access::restoreSecurity";
    const std::wstring shown = VFileName::withoutLongPrefix(objectName);
    Parts before;
    if (!partsOf(saved.data(), before))
        throwLastOsError([&] { return formatString(L"Unable to read the saved security of (%s)", objectName); },
                         kFunction, __LINE__);
    // What is there now; when it cannot be read, both are written.
    Parts now;
    PSID currentOwner = nullptr;
    PACL currentDacl = nullptr;
    LocalMemory<void> current;
    const bool known = readSecurity(objectName, type, file, &currentOwner, &currentDacl, current) == ERROR_SUCCESS &&
                       partsOf(current.get(), now);
    const bool listChanged = !known || !sameList(before, now);
    const bool ownerChanged = !known || !(Sid(before.owner) == Sid(now.owner));

    // The list first: as the owner now, the process holds WRITE_DAC without any privilege (unless an OWNER RIGHTS
    // entry says otherwise), and a failed owner must not cost it.
    if (listChanged) {
        DWORD status = ERROR_SUCCESS;
        if (type == SE_FILE_OBJECT) {
            // The saved descriptor itself: its control bits (protected, inherited) go back with the list.
            const FileHandle handle = openFileObject(objectName, file, WRITE_DAC);
            if (!handle.valid() || !SetKernelObjectSecurity(handle.get(), DACL_SECURITY_INFORMATION,
                                                            const_cast<unsigned char*>(saved.data())))
                status = GetLastError();
        } else {
            status = writeSecurity(objectName, type, nullptr,
                                   DACL_SECURITY_INFORMATION | ((before.control & SE_DACL_PROTECTED)
                                                                    ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                    : UNPROTECTED_DACL_SECURITY_INFORMATION),
                                   nullptr, before.present ? before.dacl : nullptr);
        }
        if (status != ERROR_SUCCESS)
            throwOsError(formatString(L"Unable to put back the object (%s) security info", shown), status,
                         raiseSite(kFunction, __LINE__));
    }
    if (ownerChanged) {
        // Only the process's user or default owner may be given without SeRestorePrivilege.
        Sid user, processOwner;
        user.loadFromProcess(GetCurrentProcess());
        processOwner.loadFromProcessOwner(GetCurrentProcess());
        const Sid previous(before.owner);
        const bool foreign = !(previous == user || previous == processOwner);
        DWORD status = ERROR_PRIVILEGE_NOT_HELD;
        if (!foreign || privilegeExist(SE_RESTORE_NAME)) {
            if (foreign) enablePrivilege(SE_RESTORE_NAME);
            if (privilegeExist(SE_TAKE_OWNERSHIP_NAME)) enablePrivilege(SE_TAKE_OWNERSHIP_NAME);
            status = writeSecurity(objectName, type, file, OWNER_SECURITY_INFORMATION, before.owner, nullptr);
        }
        if (status != ERROR_SUCCESS)
            throwOsError(formatString(L"Unable to put back the object (%s) owner", shown), status,
                         raiseSite(kFunction, __LINE__));
    }
}
