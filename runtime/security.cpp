#include "runtime/security.h"

#include <vector>

#include "errors/vexception.h"
#include "threads/handle.h"

namespace {

std::vector<unsigned char> tokenGroups(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size ? size : sizeof(TOKEN_GROUPS));
    if (!GetTokenInformation(token, TokenGroups, buffer.data(), static_cast<DWORD>(buffer.size()), &size))
        throwLastOsError(L"GetTokenInformation(TokenGroups)", "RunTime::Access::tokenGroups", 55);
    return buffer;
}

}  // namespace

VSID VSID::make(const char* factory, SID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD first, DWORD second) {
    VSID result;
    if (!AllocateAndInitializeSid(&authority, count, first, second, 0, 0, 0, 0, 0, 0, result.put()))
        throwLastOsError(L"AllocateAndInitializeSid", factory, __LINE__);
    return result;
}

VSID VSID::admins() {
    return make("VSID::admins", SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
}

VSID VSID::everyone() { return make("VSID::everyone", SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID, 0); }

VSID VSID::system() { return make("VSID::system", SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SYSTEM_RID, 0); }

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

SecurityDescriptor::SecurityDescriptor(const std::vector<Entry>& entries, bool inherit) {
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
    for (const Entry& entry : entries) {
        const PSID sid = entry.access.Trustee.ptstrName;
        if ((entry.kind == Owner || entry.kind == OwnerDefaulted) &&
            !SetSecurityDescriptorOwner(descriptor_.get(), sid, FALSE))
            throwLastOsError(L"SetSecurityDescriptorOwner", kFunction, __LINE__);
        if (entry.kind == Group && !SetSecurityDescriptorGroup(descriptor_.get(), sid, FALSE))
            throwLastOsError(L"SetSecurityDescriptorGroup", kFunction, __LINE__);
    }
    attributes_ = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), descriptor_.get(), inherit};
    valid_ = true;
}

namespace RunTime::Access {

bool isTokenMember(HANDLE token) {
    AutoHandle own;
    if (!token) {
        if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, own.put())) {
            const DWORD error = GetLastError();
            if (error != ERROR_NO_TOKEN)
                throwOsError(L"OpenThreadToken", error, raiseSite("RunTime::Access::processTokenGroups", 70));
            if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, own.put()))
                throwLastOsError(L"OpenProcessToken", "RunTime::Access::processTokenGroups", 73);
        }
        token = own.get();
    }
    const VSID admins = VSID::admins();
    const std::vector<unsigned char> buffer = tokenGroups(token);
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const SID_AND_ATTRIBUTES& group = groups->Groups[i];
        if (EqualSid(group.Sid, admins.get()) && !(group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY)) return true;
    }
    return false;
}

}  // namespace RunTime::Access
