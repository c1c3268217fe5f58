#include "runtime/security_descriptor.h"

#include "errors/format.h"
#include "errors/vexception.h"

SecurityDescriptor::Entry SecurityDescriptor::allow(PSID sid, DWORD mask, DWORD inheritance, TRUSTEE_TYPE type) {
    Entry entry;
    entry.access.grfAccessPermissions = mask;
    entry.access.grfAccessMode = SET_ACCESS;
    entry.access.grfInheritance = inheritance;
    entry.access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.access.Trustee.TrusteeType = type;
    entry.access.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    return entry;
}

SecurityDescriptor::SecurityDescriptor(const std::vector<Entry>& entries, bool inherit, bool protectedDacl) {
    static constexpr const char* kFunction = "SecurityDescriptor::SecurityDescriptor";
    std::vector<EXPLICIT_ACCESS_W> accesses;
    for (const Entry& entry : entries)
        if (entry.kind == ExplicitAccess) accesses.push_back(entry.access);
    const DWORD status = SetEntriesInAclW(static_cast<ULONG>(accesses.size()), accesses.data(), nullptr, dacl_.put());
    if (status != ERROR_SUCCESS) throwOsError(L"SetEntriesInAcl", status, raiseSite(kFunction, __LINE__));
    descriptor_.reset(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor_.get()) throw vexception(L"Out of memory", raiseSite(kFunction, __LINE__));
    if (!InitializeSecurityDescriptor(descriptor_.get(), SECURITY_DESCRIPTOR_REVISION))
        throwLastOsError(L"InitializeSecurityDescriptor", kFunction, __LINE__);
    if (!SetSecurityDescriptorDacl(descriptor_.get(), TRUE, dacl_.get(), FALSE))
        throwLastOsError(L"SetSecurityDescriptorDacl", kFunction, __LINE__);
    if (protectedDacl && !SetSecurityDescriptorControl(descriptor_.get(), SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        throwLastOsError(L"SetSecurityDescriptorControl", kFunction, __LINE__);
    // An absolute descriptor only points at its owner and group: it points at our copies.
    for (const Entry& entry : entries) {
        const PSID sid = entry.access.Trustee.ptstrName;
        if (entry.kind == Owner || entry.kind == OwnerDefaulted) {
            owner_.loadFromPSid(sid);
            if (!SetSecurityDescriptorOwner(descriptor_.get(), owner_.get(), FALSE))
                throwLastOsError(L"SetSecurityDescriptorOwner", kFunction, __LINE__);
        }
        if (entry.kind == Group) {
            group_.loadFromPSid(sid);
            if (!SetSecurityDescriptorGroup(descriptor_.get(), group_.get(), FALSE))
                throwLastOsError(L"SetSecurityDescriptorGroup", kFunction, __LINE__);
        }
    }
    attributes_ = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), descriptor_.get(), inherit};
    valid_ = true;
}
