// Self-contained security descriptors built from explicit access entries.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <vector>

#include "runtime/local_memory.h"
#include "runtime/sid.h"

// A self-contained absolute security descriptor and the security attributes
// that carry it. It keeps its own copies of the owner and group SIDs, so the
// entries it was built from need only outlive the constructor.
class SecurityDescriptor {
public:
    enum Kind : int { ExplicitAccess = 1, Owner = 2, OwnerDefaulted = 3, Group = 4 };
    struct Entry {
        Kind kind = ExplicitAccess;
        EXPLICIT_ACCESS_W access{};  // for ExplicitAccess; otherwise only the trustee's SID counts
    };

    // An entry that sets mask for sid, by SET_ACCESS, inherited as inheritance says.
    static Entry allow(PSID sid, DWORD mask, DWORD inheritance, TRUSTEE_TYPE type = TRUSTEE_IS_GROUP);

    // protectedDacl: the object takes none of its parent's inheritable entries.
    SecurityDescriptor(const std::vector<Entry>& entries, bool inherit, bool protectedDacl = false);
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

    bool valid() const noexcept { return valid_; }
    SECURITY_ATTRIBUTES* attributes() noexcept { return &attributes_; }
    PSECURITY_DESCRIPTOR descriptor() const noexcept { return descriptor_.get(); }
    PACL dacl() const noexcept { return dacl_.get(); }

private:
    bool valid_ = false;
    RunTime::LocalMemory<ACL> dacl_;
    RunTime::LocalMemory<void> descriptor_;
    RunTime::Sid owner_;
    RunTime::Sid group_;
    SECURITY_ATTRIBUTES attributes_{};
};
