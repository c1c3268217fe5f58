#include "runtime/security.h"

#include <memory>
#include <vector>

#include "errors/vexception.h"
#include "threads/handle.h"

namespace {

// A SID made by AllocateAndInitializeSid, released with FreeSid.
struct SidFreer {
    void operator()(void* sid) const { FreeSid(sid); }
};
using VSIDPtr = std::unique_ptr<void, SidFreer>;

VSIDPtr administratorsSid() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &sid))
        throwOsError(L"AllocateAndInitializeSid", GetLastError(), raiseSite("VSID::admins", 40));
    return VSIDPtr(sid);
}

std::vector<unsigned char> tokenGroups(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size ? size : sizeof(TOKEN_GROUPS));
    if (!GetTokenInformation(token, TokenGroups, buffer.data(), static_cast<DWORD>(buffer.size()), &size))
        throwOsError(L"GetTokenInformation(TokenGroups)", GetLastError(), raiseSite("RunTime::Access::tokenGroups", 55));
    return buffer;
}

}  // namespace

namespace RunTime::Access {

bool isTokenMember(HANDLE token) {
    AutoHandle own;
    if (!token) {
        if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, own.put())) {
            const DWORD error = GetLastError();
            if (error != ERROR_NO_TOKEN)
                throwOsError(L"OpenThreadToken", error, raiseSite("RunTime::Access::processTokenGroups", 70));
            if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, own.put()))
                throwOsError(L"OpenProcessToken", GetLastError(),
                             raiseSite("RunTime::Access::processTokenGroups", 73));
        }
        token = own.get();
    }
    const VSIDPtr admins = administratorsSid();
    const std::vector<unsigned char> buffer = tokenGroups(token);
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        const SID_AND_ATTRIBUTES& group = groups->Groups[i];
        if (EqualSid(group.Sid, admins.get()) && !(group.Attributes & SE_GROUP_USE_FOR_DENY_ONLY)) return true;
    }
    return false;
}

}  // namespace RunTime::Access
