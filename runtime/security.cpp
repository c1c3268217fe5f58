#include "runtime/security.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <list>

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/files.h"
#include "runtime/handle.h"
#include "runtime/paths.h"

using RunTime::AutoHandle;

namespace {

// The token of process; for the current process the calling thread's token
// when it impersonates.
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

// One class of information of token; the first try fits most answers.
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

bool isObjectType(BYTE type) noexcept {
    return type >= ACCESS_ALLOWED_OBJECT_ACE_TYPE && type <= SYSTEM_ALARM_OBJECT_ACE_TYPE;
}

bool isDenyType(BYTE type) noexcept {
    return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE;
}

const ACE_HEADER* entryAt(PACL acl, int index) {
    void* entry = nullptr;
    if (!GetAce(acl, static_cast<DWORD>(index), &entry)) {
        throwLastOsError([&] { return formatString(L"Unable to get ACL ACE (%d)", index); }, "RunTime::Acl::getAce",
                         676);
    }
    return static_cast<const ACE_HEADER*>(entry);
}

PSID entrySid(const ACE_HEADER* entry) {
    return const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(entry)) + RunTime::Ace::sidOffset(entry);
}

ACL_SIZE_INFORMATION sizeOf(PACL acl, const char* function) {
    ACL_SIZE_INFORMATION information{};
    if (acl && !GetAclInformation(acl, &information, sizeof information, AclSizeInformation))
        throwLastOsError(L"Unable to get ACL size", function, __LINE__);
    return information;
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

    std::vector<wchar_t> name(32);
    std::vector<wchar_t> domain(32);
    DWORD nameSize = 32;
    DWORD domainSize = 32;
    SID_NAME_USE type = SidTypeUnknown;
    BOOL found = LookupAccountSidW(systemName, get(), name.data(), &nameSize, domain.data(), &domainSize, &type);
    if (!found && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        name.resize(nameSize);
        domain.resize(domainSize);
        found = LookupAccountSidW(systemName, get(), name.data(), &nameSize, domain.data(), &domainSize, &type);
    }
    if (!found) throwLastOsError(L"Unable to lookup name for SID", "RunTime::Sid::lookupByAccountNameAndDomain", __LINE__);
    name_ = name.data();
    domain_ = domain.data();
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

int canonicalClass(BYTE type, BYTE flags) noexcept {
    int result = -1;
    switch (type) {
    case ACCESS_DENIED_ACE_TYPE: result = 0; break;
    case ACCESS_DENIED_OBJECT_ACE_TYPE: result = 1; break;
    case ACCESS_ALLOWED_ACE_TYPE: result = 2; break;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE: result = 3; break;
    default: return -1;
    }
    return (flags & INHERITED_ACE) ? result + 4 : result;
}

DWORD Ace::getSidOffset(BYTE type) {
    if (type <= SYSTEM_ALARM_ACE_TYPE) return sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
    // Header, mask, object flags and both GUIDs.
    if (isObjectType(type)) return 44;
    throw vexception(formatString(L"Unsupported ACE type (%d)", static_cast<int>(type)),
                     raiseSite("RunTime::Ace::getSidOffset", __LINE__));
}

DWORD Ace::sidOffset(const void* entry) {
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (!isObjectType(header->AceType)) return getSidOffset(header->AceType);
    // Each GUID is there only when its flag says so.
    const DWORD flags = static_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(entry)->Flags;
    return 12 + ((flags & ACE_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0) +
           ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) ? sizeof(GUID) : 0);
}

Ace Ace::init(BYTE type, BYTE flags, ACCESS_MASK mask, PSID sid) {
    static constexpr const char* kFunction = "RunTime::Ace::init";
    const DWORD offset = getSidOffset(type);
    if (!sid || !IsValidSid(sid)) throwOsError(L"Unable to copy SID", ERROR_INVALID_SID, raiseSite(kFunction, __LINE__));
    const DWORD length = GetLengthSid(sid);
    Ace ace;
    ace.buffer_.assign((offset + length + 3) / 4, 0);
    auto* bytes = static_cast<unsigned char*>(ace.data());
    if (!CopySid(length, bytes + offset, sid)) throwLastOsError(L"Unable to copy SID", kFunction, __LINE__);
    ace.header()->AceType = type;
    ace.header()->AceFlags = flags;
    ace.header()->AceSize = static_cast<WORD>(offset + length);
    ace.setMask(mask);
    if (isObjectType(type))
        static_cast<ACCESS_ALLOWED_OBJECT_ACE*>(ace.data())->Flags =
            ACE_OBJECT_TYPE_PRESENT | ACE_INHERITED_OBJECT_TYPE_PRESENT;
    return ace;
}

Ace Ace::fromEntry(const void* entry) {
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    const DWORD size = header->AceSize;
    // An entry whose SID would lie past its end comes from a corrupt list.
    const auto malformed = [&] {
        return vexception(formatString(L"Malformed ACE (type %d, size %d)", static_cast<int>(header->AceType),
                                       static_cast<int>(size)),
                          raiseSite("RunTime::Ace::fromEntry", __LINE__));
    };
    if (size < 12 || (isObjectType(header->AceType) && size < 16)) throw malformed();
    const DWORD offset = sidOffset(entry);
    const auto* sid = static_cast<const unsigned char*>(entry) + offset;
    if (offset + 8 > size || offset + 8 + 4 * DWORD{sid[1]} > size || !IsValidSid(const_cast<unsigned char*>(sid)))
        throw malformed();
    Ace ace;
    ace.buffer_.assign((size + 3) / 4, 0);
    std::memcpy(ace.data(), entry, size);
    return ace;
}

ACCESS_MASK Ace::mask() const noexcept { return static_cast<const ACCESS_ALLOWED_ACE*>(data())->Mask; }

void Ace::setMask(ACCESS_MASK mask) noexcept { static_cast<ACCESS_ALLOWED_ACE*>(data())->Mask = mask; }

PSID Ace::sid() const { return static_cast<unsigned char*>(data()) + sidOffset(data()); }

void Acl::reinitialize(DWORD bytes) {
    buffer_.assign(bytes / sizeof(DWORD), 0);
    if (!InitializeAcl(get(), bytes, ACL_REVISION)) throwLastOsError(L"Unable to initialize ACL", "RunTime::Acl::clear", __LINE__);
}

void Acl::clear() { reinitialize(268); }

ACL_SIZE_INFORMATION Acl::sizeInformation() const { return sizeOf(get(), "RunTime::Acl::sizeInformation"); }

int Acl::end() const { return static_cast<int>(sizeInformation().AceCount); }

Ace Acl::getAce(int index) const { return Ace::fromEntry(entryAt(get(), index)); }

int Acl::getInsertionIndex(const Ace& entry) const {
    static constexpr const char* kFunction = "RunTime::Acl::getInsertionIndex";
    const int wanted = canonicalClass(entry.type(), entry.flags());
    if (wanted < 0) throw vexception(L"Invalid ACE type", raiseSite(kFunction, __LINE__));
    const int count = end();
    for (int index = 0; index < count; ++index) {
        const ACE_HEADER* existing = entryAt(get(), index);
        const int found = canonicalClass(existing->AceType, existing->AceFlags);
        if (found < 0) throw vexception(L"Unsupported ACE type in ACL", raiseSite(kFunction, __LINE__));
        if (found >= wanted) return index;
    }
    return count;
}

// AddAce would do, but Wine's appends whatever index it is given.
void Acl::insert(const Ace& entry) {
    expand(nullptr, {entry});
    const int index = getInsertionIndex(entry);
    const ACL_SIZE_INFORMATION size = sizeInformation();
    auto* const base = reinterpret_cast<unsigned char*>(get());
    auto* const at = index < static_cast<int>(size.AceCount)
                         ? const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>(
                               entryAt(get(), index)))
                         : base + size.AclBytesInUse;
    std::memmove(at + entry.size(), at, static_cast<std::size_t>(base + size.AclBytesInUse - at));
    std::memcpy(at, entry.data(), entry.size());
    ++get()->AceCount;
    if (isObjectType(entry.type()) && get()->AclRevision < ACL_REVISION_DS) get()->AclRevision = ACL_REVISION_DS;
}

void Acl::add(const Acl& other) {
    expand(other.get(), {});
    const int count = other.end();
    for (int index = 0; index < count; ++index) insert(other.getAce(index));
}

void Acl::add(const std::vector<Ace>& entries) {
    expand(nullptr, entries);
    for (const Ace& entry : entries)
        if (findAce(entry) < 0) insert(entry);
}

DWORD Acl::calculateSize(PACL other, const std::vector<Ace>& entries) const {
    DWORD size = sizeInformation().AclBytesInUse + sizeOf(other, "RunTime::Acl::calculateSize").AclBytesInUse;
    for (const Ace& entry : entries) size += entry.size();
    return size + sizeof(ACL);
}

void Acl::copy(PACL other) {
    const ACL_SIZE_INFORMATION source = sizeOf(other, "RunTime::Acl::copy");
    reinitialize(std::max<DWORD>(get()->AclSize,
                                 std::min<DWORD>(kLargest, (source.AclBytesInUse + source.AclBytesFree + 3) & ~3u)));
    for (DWORD index = 0; other && index < source.AceCount; ++index)
        insert(Ace::fromEntry(entryAt(other, static_cast<int>(index))));
}

void Acl::expand(PACL other, const std::vector<Ace>& entries) {
    const DWORD needed = calculateSize(other, entries);
    if (needed <= get()->AclSize) return;
    if (needed > kLargest)
        throw vexception(formatString(L"Unable to allocate new ACL: %lu bytes exceed the largest ACL of %lu bytes",
                                      static_cast<unsigned long>(needed), static_cast<unsigned long>(kLargest)),
                         raiseSite("RunTime::Acl::expand", __LINE__));
    // The entries keep their order: the old list is copied as it is into the larger buffer.
    const DWORD bytes = (std::min<DWORD>(needed * 2, kLargest) + 3) & ~3u;
    std::vector<DWORD> larger(bytes / sizeof(DWORD), 0);
    std::memcpy(larger.data(), buffer_.data(), sizeInformation().AclBytesInUse);
    buffer_ = std::move(larger);
    get()->AclSize = static_cast<WORD>(bytes);
}

int Acl::findAce(const Ace& entry, int start) const {
    const DWORD offset = Ace::sidOffset(entry.data());
    const int count = end();
    for (int index = start; index < count; ++index) {
        const ACE_HEADER* existing = entryAt(get(), index);
        if (existing->AceType == entry.type() && Ace::sidOffset(existing) == offset &&
            std::memcmp(existing, entry.data(), offset) == 0 && EqualSid(entrySid(existing), entry.sid()))
            return index;
    }
    return -1;
}

int Acl::findSid(PSID sid, int start) const {
    const int count = end();
    for (int index = start; index < count; ++index)
        if (EqualSid(entrySid(entryAt(get(), index)), sid)) return index;
    return -1;
}

Acl Acl::deleteAce(PSID sid, bool keepDeny) const {
    static constexpr const char* kFunction = "RunTime::Acl::deleteAce";
    Acl result = *this;
    for (int index = end() - 1; index >= 0; --index) {
        const ACE_HEADER* entry = entryAt(result.get(), index);
        if (!EqualSid(entrySid(entry), sid) || (keepDeny && isDenyType(entry->AceType))) continue;
        if (!DeleteAce(result.get(), static_cast<DWORD>(index))) {
            throwLastOsError([&] { return formatString(L"Unable to delete ACL ACE (%d)", index); }, kFunction,
                             __LINE__);
        }
    }
    return result;
}

}  // namespace RunTime

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

namespace {

// Get/SetNamedSecurityInfo follow links; file objects go through their own handle.
DWORD readSecurity(const std::wstring& name, SE_OBJECT_TYPE type, PSID* owner, PACL* dacl,
                   RunTime::LocalMemory<void>& descriptor) {
    constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (type != SE_FILE_OBJECT)
        return GetNamedSecurityInfoW(name.c_str(), type, kWhat, owner, nullptr, dacl, nullptr, descriptor.put());
    const RunTime::FileHandle file = RunTime::File::openObject(name, READ_CONTROL);
    if (!file.valid()) return GetLastError();
    return GetSecurityInfo(file.get(), type, kWhat, owner, nullptr, dacl, nullptr, descriptor.put());
}

// readSecurity, a failure raised for function.
RunTime::LocalMemory<void> readDescriptor(const std::wstring& name, SE_OBJECT_TYPE type, PSID* owner, PACL* dacl,
                                          const char* function) {
    RunTime::LocalMemory<void> descriptor;
    const DWORD status = readSecurity(name, type, owner, dacl, descriptor);
    if (status != ERROR_SUCCESS)
        throwOsError(formatString(L"Unable to get the object (%s) security info", name), status,
                     raiseSite(function, __LINE__));
    return descriptor;
}

// File objects through a handle on the object itself, with the low-level call, which changes that object alone:
// SetSecurityInfo would carry a directory's inheritable entries into everything below it, through a junction into
// the tree it leads to. A file has nothing below it, and its list is written whole.
DWORD writeSecurity(const std::wstring& name, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PSID owner,
                    PACL dacl) {
    if (type != SE_FILE_OBJECT)
        return SetNamedSecurityInfoW(const_cast<wchar_t*>(name.c_str()), type, information, owner, nullptr, dacl,
                                     nullptr);
    const bool writesDacl = information & DACL_SECURITY_INFORMATION;
    const RunTime::FileHandle file =
        RunTime::File::openObject(name, (owner ? WRITE_OWNER : 0) | (writesDacl ? WRITE_DAC : 0));
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

LUID privilegeValue(const wchar_t* name, const wchar_t* format, const char* function) {
    LUID value{};
    if (!LookupPrivilegeValueW(nullptr, name, &value)) {
        throwLastOsError([&] { return formatString(format, name); }, function, __LINE__);
    }
    return value;
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

void setOwner(const std::wstring& objectName, SE_OBJECT_TYPE type) {
    if (privilegeExist(SE_TAKE_OWNERSHIP_NAME)) enablePrivilege(SE_TAKE_OWNERSHIP_NAME);
    Sid owner;
    owner.loadFromProcessOwner(GetCurrentProcess());
    const DWORD status = writeSecurity(objectName, type, OWNER_SECURITY_INFORMATION, owner.get(), nullptr);
    if (status != ERROR_SUCCESS)
        throwOsError(formatString(L"Unable to set the object (%s) owner", VFileName::withoutLongPrefix(objectName)),
                     status, raiseSite("RunTime::Access::setOwner", __LINE__));
}

ObjectSecurity objectSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    const LocalMemory<void> descriptor =
        readDescriptor(objectName, type, &owner, &dacl, "RunTime::Access::getSecurity");
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

Acl getSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type) { return objectSecurity(objectName, type).dacl; }

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

void setSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type, const Acl& acl) {
    const Acl current = removeStaleAces(acl);
    constexpr SECURITY_INFORMATION kProtectedDacl = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    DWORD status = writeSecurity(objectName, type, kProtectedDacl, nullptr, current.get());
    if (status == ERROR_ACCESS_DENIED) {
        setOwner(objectName, type);
        status = writeSecurity(objectName, type, kProtectedDacl, nullptr, current.get());
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

void RunTime::grantDeleteAccess(const std::wstring& objectName, SE_OBJECT_TYPE type, ACCESS_MASK mask) {
    Access::setOwner(objectName, type);
    Sid owner;
    owner.loadFromProcessOwner(GetCurrentProcess());
    const Acl current = Access::getSecurity(objectName, type);
    // Only a real directory has anything below it to inherit; a link's entries would reach what it leads to.
    const DWORD attributes =
        type == SE_FILE_OBJECT ? GetFileAttributesW(VFileName::toLongPath(objectName).c_str()) : FILE_ATTRIBUTE_DIRECTORY;
    const bool container = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    Access::setSecurity(objectName, type,
                        Access::deleteAccessList(current, mask, owner, Access::ownIdentities(), type == SE_FILE_OBJECT,
                                                 container ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0));
}

// Putting an object's owner and list back, kept apart from the rest.
std::vector<unsigned char> RunTime::Access::savedSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type) {
    if (privilegeExist(SE_BACKUP_NAME)) enablePrivilege(SE_BACKUP_NAME);
    PSID owner = nullptr;
    PACL dacl = nullptr;
    const LocalMemory<void> descriptor =
        readDescriptor(objectName, type, &owner, &dacl, "RunTime::Access::savedSecurity");
    const auto* bytes = static_cast<const unsigned char*>(descriptor.get());
    return std::vector<unsigned char>(bytes, bytes + GetSecurityDescriptorLength(descriptor.get()));
}

void RunTime::Access::restoreSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type,
                                      const std::vector<unsigned char>& saved) {
    constexpr const char* kFunction = "RunTime::Access::restoreSecurity";
    const auto descriptor = const_cast<unsigned char*>(saved.data());
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) ||
        !GetSecurityDescriptorControl(descriptor, &control, &revision)) {
        throwLastOsError([&] { return formatString(L"Unable to read the saved security of (%s)", objectName); },
                         kFunction, __LINE__);
    }
    Sid user, processOwner;
    user.loadFromProcess(GetCurrentProcess());
    processOwner.loadFromProcessOwner(GetCurrentProcess());
    const Sid previous(owner);
    if (!(previous == user || previous == processOwner)) enablePrivilege(SE_RESTORE_NAME);
    if (privilegeExist(SE_TAKE_OWNERSHIP_NAME)) enablePrivilege(SE_TAKE_OWNERSHIP_NAME);
    const SECURITY_INFORMATION information =
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    DWORD status = ERROR_SUCCESS;
    if (type == SE_FILE_OBJECT) {
        // The saved descriptor itself: its control bits (protected, inherited) go back with the list.
        const FileHandle file = File::openObject(objectName, WRITE_OWNER | WRITE_DAC);
        if (!file.valid() ||
            !SetKernelObjectSecurity(file.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor))
            status = GetLastError();
    } else {
        status = writeSecurity(objectName, type, information, owner, present ? dacl : nullptr);
    }
    if (status != ERROR_SUCCESS)
        throwOsError(formatString(L"Unable to put back the object (%s) owner and security info",
                                  VFileName::withoutLongPrefix(objectName)),
                     status, raiseSite(kFunction, __LINE__));
}
