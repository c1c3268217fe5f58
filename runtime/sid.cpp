#include "runtime/sid.h"

#include <sddl.h>

#include <list>

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/access_token.h"
#include "runtime/handle.h"
#include "runtime/local_memory.h"

using RunTime::AutoHandle;

namespace {

struct CachedAccount {
    std::vector<unsigned char> sid;
    std::wstring name;
    std::wstring domain;
    SID_NAME_USE type;
};

// Account lookups may reach a domain controller; their answers are kept for
// the life of the process.
SRWLOCK g_accountLock = SRWLOCK_INIT;
std::list<CachedAccount>& accountCache() {
    static std::list<CachedAccount> cache;
    return cache;
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

namespace RunTime {

Sid::Sid(BYTE authority, std::initializer_list<DWORD> subAuthorities) {
    static constexpr const char* kFunction = "RunTime::Sid::Sid";
    if (subAuthorities.size() > SID_MAX_SUB_AUTHORITIES)
        throwOsError(L"Unable to allocate and initialize sid", ERROR_INVALID_PARAMETER, raiseSite(kFunction, __LINE__));
    SID_IDENTIFIER_AUTHORITY identifier{{0, 0, 0, 0, 0, authority}};
    VSID temporary;
    if (!AllocateAndInitializeSid(&identifier, static_cast<BYTE>(subAuthorities.size()), 0, 0, 0, 0, 0, 0, 0, 0,
                                  temporary.put()))
        throwLastOsError(L"Unable to allocate and initialize sid", kFunction, __LINE__);
    DWORD index = 0;
    for (const DWORD value : subAuthorities) *GetSidSubAuthority(temporary.get(), index++) = value;
    loadFromPSid(temporary.get());
}

void Sid::loadFromPSid(PSID sid) {
    static constexpr const char* kFunction = "RunTime::Sid::loadFromPSid";
    sid_.clear();
    name_.clear();
    domain_.clear();
    type_ = SidTypeUnknown;
    if (!sid) return;
    if (!IsValidSid(sid)) throwOsError(L"Invalid sid", ERROR_INVALID_SID, raiseSite(kFunction, __LINE__));
    std::vector<unsigned char> copy(GetLengthSid(sid));
    if (!CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid))
        throwLastOsError(L"Unable to copy sid", kFunction, __LINE__);
    sid_ = std::move(copy);
}

void Sid::loadFromToken(HANDLE process, TOKEN_INFORMATION_CLASS what) {
    const char* function = what == TokenUser ? "RunTime::Sid::loadFromProcess" : "RunTime::Sid::loadFromProcessOwner";
    const AutoHandle token = openToken(process, TOKEN_QUERY | READ_CONTROL, function);
    const std::vector<unsigned char> buffer =
        tokenInformation(token.get(), what, L"Unable to get token information", function);
    loadFromPSid(what == TokenUser ? reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid
                                   : reinterpret_cast<const TOKEN_OWNER*>(buffer.data())->Owner);
}

void Sid::loadFromProcess(HANDLE process) { loadFromToken(process, TokenUser); }

void Sid::loadFromProcessOwner(HANDLE process) { loadFromToken(process, TokenOwner); }

void Sid::lookupByAccountNameAndDomain(const wchar_t* systemName) {
    AcquireSRWLockShared(&g_accountLock);
    for (const CachedAccount& cached : accountCache())
        if (cached.sid == sid_) {
            name_ = cached.name;
            domain_ = cached.domain;
            type_ = cached.type;
            break;
        }
    ReleaseSRWLockShared(&g_accountLock);
    if (type_ != SidTypeUnknown) return;

    // The sizes a refusal reports count the terminator; one more in case a system leaves it out (Wine 8 does).
    std::vector<wchar_t> name(32);
    std::vector<wchar_t> domain(32);
    DWORD nameSize = 32;
    DWORD domainSize = 32;
    SID_NAME_USE type = SidTypeUnknown;
    BOOL found = LookupAccountSidW(systemName, get(), name.data(), &nameSize, domain.data(), &domainSize, &type);
    if (!found && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        name.assign(nameSize + 1, L'\0');
        domain.assign(domainSize + 1, L'\0');
        nameSize = static_cast<DWORD>(name.size());
        domainSize = static_cast<DWORD>(domain.size());
        found = LookupAccountSidW(systemName, get(), name.data(), &nameSize, domain.data(), &domainSize, &type);
    }
    if (!found) throwLastOsError(L"Unable to lookup name for SID", "RunTime::Sid::lookupByAccountNameAndDomain", __LINE__);
    name_.assign(name.data(), wcsnlen(name.data(), name.size()));
    domain_.assign(domain.data(), wcsnlen(domain.data(), domain.size()));
    type_ = type;
    AcquireSRWLockExclusive(&g_accountLock);
    accountCache().push_back(CachedAccount{sid_, name_, domain_, type_});
    ReleaseSRWLockExclusive(&g_accountLock);
}

std::wstring Sid::toSidString() const {
    LocalMemory<wchar_t> text;
    if (!ConvertSidToStringSidW(get(), text.put()))
        throwLastOsError(L"Unable to convert a SID to it's string form", "RunTime::Sid::toSidString", __LINE__);
    return text.get();
}

std::wstring Sid::accountText() {
    if (type_ == SidTypeUnknown) {
        try {
            lookupByAccountNameAndDomain();
        } catch (const vexception&) {
            return toSidString();
        }
    }
    return domain_ + L"\\" + name_;
}

const Sid& Sid::administrators() {
    static const Sid sid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    return sid;
}

const Sid& Sid::users() {
    static const Sid sid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS});
    return sid;
}

const Sid& Sid::guests() {
    static const Sid sid(5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_GUESTS});
    return sid;
}

const Sid& Sid::everyone() {
    static const Sid sid(1, {SECURITY_WORLD_RID});
    return sid;
}

const Sid& Sid::localSystem() {
    static const Sid sid(5, {SECURITY_LOCAL_SYSTEM_RID});
    return sid;
}

}  // namespace RunTime
