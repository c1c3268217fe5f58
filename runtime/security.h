// Security identifiers, security descriptors built from explicit access
// entries, and token membership in the BUILTIN Administrators group.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <utility>
#include <vector>

#include "runtime/local_memory.h"

// A SID made by AllocateAndInitializeSid, released with FreeSid.
class VSID {
public:
    VSID() noexcept = default;
    VSID(VSID&& other) noexcept : sid_(std::exchange(other.sid_, nullptr)) {}
    VSID& operator=(VSID&& other) noexcept {
        if (this != &other) {
            reset();
            sid_ = std::exchange(other.sid_, nullptr);
        }
        return *this;
    }
    VSID(const VSID&) = delete;
    VSID& operator=(const VSID&) = delete;
    ~VSID() { reset(); }

    PSID get() const noexcept { return sid_; }

    static VSID admins();    // S-1-5-32-544
    static VSID everyone();  // S-1-1-0
    static VSID system();    // S-1-5-18

private:
    static VSID make(const char* factory, SID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD first,
                     DWORD second);
    void reset() noexcept;
    PSID sid_ = nullptr;
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
