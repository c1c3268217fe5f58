// Security identifiers, access-control entries and lists, security
// descriptors built from explicit access entries, and the token and
// object-security operations the agent needs.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <initializer_list>
#include <string>
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

namespace RunTime {

// An owned copy of a SID with the account it names, once looked up.
class Sid {
public:
    Sid() = default;
    // S-1-authority-sub...; at most eight sub-authorities.
    Sid(BYTE authority, std::initializer_list<DWORD> subAuthorities);
    explicit Sid(PSID sid) { loadFromPSid(sid); }

    // A null sid leaves the object empty.
    void loadFromPSid(PSID sid);
    // The token user, and the token's default owner, of process (the
    // current one: the calling thread's token when it impersonates).
    void loadFromProcess(HANDLE process);
    void loadFromProcessOwner(HANDLE process);
    // Fills name, domain and type; answers from a process-wide cache first.
    void lookupByAccountNameAndDomain(const wchar_t* systemName = nullptr);
    std::wstring toSidString() const;
    // domain\name; looked up when not yet known, the SID string when the
    // SID maps to no account.
    std::wstring accountText();

    PSID get() const noexcept { return sid_.empty() ? nullptr : const_cast<unsigned char*>(sid_.data()); }
    bool empty() const noexcept { return sid_.empty(); }
    const std::wstring& name() const noexcept { return name_; }
    const std::wstring& domain() const noexcept { return domain_; }
    SID_NAME_USE type() const noexcept { return type_; }

    friend bool operator==(const Sid& a, const Sid& b) noexcept { return a.sid_ == b.sid_; }

    static const Sid& administrators();  // S-1-5-32-544
    static const Sid& users();           // S-1-5-32-545
    static const Sid& guests();          // S-1-5-32-546
    static const Sid& everyone();        // S-1-1-0
    static const Sid& localSystem();     // S-1-5-18

private:
    void loadFromToken(HANDLE process, TOKEN_INFORMATION_CLASS what);

    std::vector<unsigned char> sid_;
    std::wstring name_;
    std::wstring domain_;
    SID_NAME_USE type_ = SidTypeUnknown;
};

// The canonical class of an entry: denied, denied-object, allowed,
// allowed-object, and the same four again for inherited entries; -1 for a
// type outside them.
int canonicalClass(BYTE type, BYTE flags) noexcept;

// An owned access-control entry in the system's binary layout.
class Ace {
public:
    Ace() = default;
    // A zero-filled entry; object entries carry both (empty) object GUIDs.
    static Ace init(BYTE type, BYTE flags, ACCESS_MASK mask, PSID sid);
    // A copy of an entry of a list, checked to hold its SID within its size.
    static Ace fromEntry(const void* entry);
    // Where a new entry of type holds its SID.
    static DWORD getSidOffset(BYTE type);
    // Where an existing entry holds its SID: for object entries it depends on
    // which of the two GUIDs are present.
    static DWORD sidOffset(const void* entry);

    BYTE type() const noexcept { return header()->AceType; }
    BYTE flags() const noexcept { return header()->AceFlags; }
    WORD size() const noexcept { return header()->AceSize; }
    ACCESS_MASK mask() const noexcept;
    PSID sid() const;
    void setFlags(BYTE flags) noexcept { header()->AceFlags = flags; }
    void setMask(ACCESS_MASK mask) noexcept;
    void* data() const noexcept { return const_cast<DWORD*>(buffer_.data()); }

private:
    ACE_HEADER* header() const noexcept { return static_cast<ACE_HEADER*>(data()); }
    std::vector<DWORD> buffer_;  // DWORD-aligned, as the system reads entries
};

// An owned ACL of revision 2 whose insertions keep the canonical order.
class Acl {
public:
    Acl() { clear(); }

    void clear();
    int end() const;
    Ace getAce(int index) const;
    int getInsertionIndex(const Ace& entry) const;
    void add(const Acl& other);
    void add(const std::vector<Ace>& entries);  // skips entries already present
    DWORD calculateSize(PACL other, const std::vector<Ace>& entries) const;
    // This list becomes a canonically ordered copy of other (null: empty).
    void copy(PACL other);
    void expand(PACL other, const std::vector<Ace>& entries);
    int findAce(const Ace& entry, int start = 0) const;
    int findSid(PSID sid, int start = 0) const;
    // A copy without the entries for sid; keepDeny keeps its deny entries.
    Acl deleteAce(PSID sid, bool keepDeny) const;

    PACL get() const noexcept { return reinterpret_cast<PACL>(const_cast<DWORD*>(buffer_.data())); }

    // An ACL's size is a 16-bit count, kept DWORD-aligned.
    static constexpr DWORD kLargest = 0xFFFC;

private:
    ACL_SIZE_INFORMATION sizeInformation() const;
    void reinitialize(DWORD bytes);
    void insert(const Ace& entry);

    std::vector<DWORD> buffer_;
};

}  // namespace RunTime

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

namespace RunTime::Access {

// The groups of token, as TOKEN_GROUPS.
std::vector<unsigned char> tokenGroups(HANDLE token);
// The groups of process's token (null: the current thread's token when it
// impersonates, else the process's).
std::vector<unsigned char> processTokenGroups(HANDLE process = nullptr);
// Whether groups (as tokenGroups gives them) hold group, not as deny-only.
bool holdsGroup(const std::vector<unsigned char>& groups, PSID group);
// True when the token (null: as processTokenGroups) holds Administrators as a
// group that is not deny-only.
bool isTokenMember(HANDLE token);

void enablePrivilege(const wchar_t* name);
bool privilegeExist(const wchar_t* name);

// File objects are reached through a handle opened on the name itself, so a
// junction or symbolic link is never followed; other kinds by name.
void setOwner(const std::wstring& objectName, SE_OBJECT_TYPE type);
// What an object's descriptor says: its owner, whether its list takes
// nothing from the parent, and the list as getSecurity gives it.
struct ObjectSecurity {
    Sid owner;
    bool protectedDacl = false;
    Acl dacl;
};
ObjectSecurity objectSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type);
Acl getSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type);
// Writes the list as protected, without entries for accounts that no longer exist.
void setSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type, const Acl& acl);
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
void grantDeleteAccess(const std::wstring& objectName, SE_OBJECT_TYPE type, ACCESS_MASK mask);
}  // namespace RunTime

// Putting an object's owner and list back, for a forced removal that still failed.
namespace RunTime::Access {
// The object's owner and list exactly as they are (a self-relative descriptor); SeBackupPrivilege is enabled
// for the read when the token holds it.
std::vector<unsigned char> savedSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type);
// Writes saved back whole: owner, list and whether the list is protected. An owner other than the process's
// user or default owner can only be given with SeRestorePrivilege, which is enabled for that.
void restoreSecurity(const std::wstring& objectName, SE_OBJECT_TYPE type, const std::vector<unsigned char>& saved);
}  // namespace RunTime::Access
