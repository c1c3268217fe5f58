#include "runtime/access_token.h"

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/sid.h"

namespace RunTime {

AutoHandle openToken(HANDLE process, DWORD access, const char* function) {
    AutoHandle token;
    if (!process || process == GetCurrentProcess()) {
        if (OpenThreadToken(GetCurrentThread(), access, FALSE, token.put())) return token;
        const DWORD error = GetLastError();
        if (error != ERROR_NO_TOKEN) throwOsError(L"Unable to open a thread token", error, raiseSite(function, __LINE__));
        if (!OpenProcessToken(GetCurrentProcess(), access, token.put()))
            throwLastOsError(L"Unable to open a process token", function, __LINE__);
        return token;
    }
    if (!OpenProcessToken(process, access, token.put()))
        throwLastOsError(L"Unable to open process token", function, __LINE__);
    return token;
}

std::vector<unsigned char> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what, const wchar_t* operation,
                                            const char* function) {
    std::vector<unsigned char> buffer(256);
    DWORD size = 0;
    if (GetTokenInformation(token, what, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) return buffer;
    DWORD error = GetLastError();
    if (error == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(size);
        if (GetTokenInformation(token, what, buffer.data(), size, &size)) return buffer;
        error = GetLastError();
    }
    throwOsError(operation, error, raiseSite(function, __LINE__));
}

}  // namespace RunTime

namespace {

LUID privilegeValue(const wchar_t* name, const wchar_t* format, const char* function) {
    LUID value{};
    if (!LookupPrivilegeValueW(nullptr, name, &value)) {
        throwLastOsError([&] { return formatString(format, name); }, function, __LINE__);
    }
    return value;
}

}  // namespace

namespace RunTime::Access {

std::vector<unsigned char> tokenGroups(HANDLE token) {
    return tokenInformation(token, TokenGroups, L"Unable to get token information", "RunTime::Access::tokenGroups");
}

std::vector<unsigned char> processTokenGroups(HANDLE process) {
    const AutoHandle token = openToken(process, TOKEN_QUERY, "RunTime::Access::processTokenGroups");
    return tokenGroups(token.get());
}

bool holdsGroup(const std::vector<unsigned char>& groups, PSID group) {
    const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < list->GroupCount; ++i)
        if (EqualSid(list->Groups[i].Sid, group) && !(list->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY))
            return true;
    return false;
}

bool isTokenMember(HANDLE token) {
    const Sid admins(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    return holdsGroup(token ? tokenGroups(token) : processTokenGroups(), admins.get());
}

void enablePrivilege(const wchar_t* name) {
    static constexpr const char* kFunction = "RunTime::Access::enablePrivilege";
    TOKEN_PRIVILEGES privileges{1, {{privilegeValue(name, L"Unable to find privilege (%s)", kFunction),
                                     SE_PRIVILEGE_ENABLED}}};
    const AutoHandle token = openToken(nullptr, TOKEN_ADJUST_PRIVILEGES, kFunction);
    SetLastError(ERROR_SUCCESS);
    // A privilege the token does not hold is no failure of the call: only its last error tells.
    const BOOL adjusted = AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
    const DWORD error = GetLastError();
    if (!adjusted || error != ERROR_SUCCESS)
        throwOsError(formatString(L"Unable to adjust privilege (%s)", name), error, raiseSite(kFunction, __LINE__));
}

bool privilegeExist(const wchar_t* name) {
    static constexpr const char* kFunction = "RunTime::Access::privilegeExist";
    const LUID value = privilegeValue(name, L"The privilege (%s) is not found", kFunction);
    const AutoHandle token = openToken(nullptr, TOKEN_QUERY, kFunction);
    const std::vector<unsigned char> buffer =
        tokenInformation(token.get(), TokenPrivileges, L"Unable to get token privileges", kFunction);
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID& held = privileges->Privileges[i].Luid;
        if (held.LowPart == value.LowPart && held.HighPart == value.HighPart) return true;
    }
    return false;
}

}  // namespace RunTime::Access
