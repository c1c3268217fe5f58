// Security identifiers: the SIDs the system allocates, and owned copies
// with the accounts they name.
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

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

}  // namespace RunTime
