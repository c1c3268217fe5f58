// Security identifiers, security descriptors built from explicit access
// entries, and token membership in the BUILTIN Administrators group.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <vector>

#include "runtime/local_memory.h"
#include "runtime/owner.h"

struct SidTraits {
    using Value = PSID;
    static PSID empty() noexcept { return nullptr; }
    static bool valid(PSID sid) noexcept { return sid != nullptr; }
    static void close(PSID sid) noexcept { FreeSid(sid); }
};

// A SID made by AllocateAndInitializeSid, released with FreeSid.
class VSID : public RunTime::Owner<SidTraits> {
public:
    using Owner::Owner;

    static VSID admins();    // S-1-5-32-544
    static VSID everyone();  // S-1-1-0
    static VSID system();    // S-1-5-18

private:
    static VSID make(const char* factory, SID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD first,
                     DWORD second);
};

// A self-contained absolute security descriptor and the security attributes
// that carry it. The SIDs the entries name must outlive the constructor only.
class SecurityDescriptor {
public:
    enum Kind : int { ExplicitAccess = 1, Owner = 2, OwnerDefaulted = 3, Group = 4 };
    struct Entry {
        Kind kind = ExplicitAccess;
        EXPLICIT_ACCESS_W access{};  // for ExplicitAccess; otherwise only the trustee's SID counts
    };

    // An entry that sets mask for sid, by SET_ACCESS, inherited as inheritance says.
    static Entry allow(PSID sid, DWORD mask, DWORD inheritance, TRUSTEE_TYPE type = TRUSTEE_IS_GROUP);

    SecurityDescriptor(const std::vector<Entry>& entries, bool inherit);
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

    bool valid() const noexcept { return valid_; }
    SECURITY_ATTRIBUTES* attributes() noexcept { return &attributes_; }
    PSECURITY_DESCRIPTOR descriptor() const noexcept { return descriptor_.get(); }

private:
    bool valid_ = false;
    RunTime::LocalMemory<ACL> dacl_;
    RunTime::LocalMemory<void> descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
};

namespace RunTime::Access {
// True when the token (null: the current thread's, else the process's) holds
// Administrators as a group that is not deny-only.
bool isTokenMember(HANDLE token);
}  // namespace RunTime::Access
