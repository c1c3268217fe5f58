// Access-control entries and lists, kept in canonical order.
#pragma once

#include <windows.h>

#include <vector>

namespace RunTime {

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
