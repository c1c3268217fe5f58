// Object security by name: the owner, reading and writing the list, stale
// entries, the deletion grant and putting a saved owner and list back.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <string>
#include <vector>

#include "runtime/acl.h"
#include "runtime/sid.h"

namespace RunTime::Access {

// File objects are reached through a handle opened on the name itself, so a
// junction or symbolic link is never followed; other kinds by name.
// file, when given, is a handle from File::openObject on that object: every step reaches that one file, never a
// name, which another account could point elsewhere meanwhile.
void setOwner(const std::wstring& objectName, SE_OBJECT_TYPE type, HANDLE file = nullptr);
// What an object's descriptor says: its owner, whether its list takes
// nothing from the parent, and the list as getSecurity gives it.
struct ObjectSecurity {
    Sid owner;
    bool protectedDacl = false;
    Acl dacl;
};
ObjectSecurity objectSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type, HANDLE file = nullptr);
Acl getSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type, HANDLE file = nullptr);
// Writes the list as protected, without entries for accounts that no longer exist.
void setSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type, const Acl& acl, HANDLE file = nullptr);
Acl removeStaleAces(const Acl& acl);

// The SIDs whose allow entries grantDeleteAccess replaces: every group of the
// current token, its user, its owner and LocalSystem.
std::vector<Sid> ownIdentities();
// The list grantDeleteAccess writes: allow mask for owner and LocalSystem
// (entries with entryFlags), then current, generic rights mapped for files,
// merged, and without the allow entries of the own identities.
Acl deleteAccessList(const Acl& current, ACCESS_MASK mask, const Sid& owner, const std::vector<Sid>& own,
                     bool fileObject, BYTE entryFlags);

}  // namespace RunTime::Access

namespace RunTime {
// Takes ownership of the object and allows mask to the process owner and
// LocalSystem; on a file or a link the new entries are not inheritable.
void grantDeleteAccess(const std::wstring& objectName, SE_OBJECT_TYPE type, ACCESS_MASK mask, HANDLE file = nullptr);
}  // namespace RunTime

// Putting an object's owner and list back, for a forced removal that still failed.
namespace RunTime::Access {
// The object's owner and list exactly as they are (a self-relative descriptor); SeBackupPrivilege is enabled
// for the read when the token holds it.
std::vector<unsigned char> savedSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type, HANDLE file = nullptr);
// Puts back what differs from saved, the list first (with whether it is protected), which the owner may write
// without any privilege; then the owner. An owner other than the process's user or default owner can only be
// given with SeRestorePrivilege: without it that step fails, and the list stays put back. Nothing that does not
// differ is written.
void restoreSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type, const std::vector<unsigned char>& saved,
                     HANDLE file = nullptr);
}  // namespace RunTime::Access
