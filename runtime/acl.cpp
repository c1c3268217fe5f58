#include "runtime/acl.h"

#include <algorithm>
#include <cstring>

#include "errors/format.h"
#include "errors/vexception.h"

namespace {

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

namespace RunTime {

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
