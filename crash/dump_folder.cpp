#include "crash/dump_folder.h"

#include "errors/vexception.h"
#include "runtime/files.h"
#include "runtime/paths.h"
#include "runtime/sid.h"

namespace DumpFolder {

namespace {

constexpr DWORD kAgentsOnFolder =
    FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

const RunTime::Sid& authenticatedUsers() {
    static const RunTime::Sid sid(5, {11});  // S-1-5-11
    return sid;
}

const RunTime::Sid& creatorOwner() {
    static const RunTime::Sid sid(3, {0});  // S-1-3-0
    return sid;
}

}  // namespace

std::vector<SecurityDescriptor::Entry> entries() {
    constexpr DWORD kHereAndBelow = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    constexpr DWORD kFilesOnly = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;
    using RunTime::Sid;
    return {SecurityDescriptor::allow(Sid::localSystem().get(), FILE_ALL_ACCESS, kHereAndBelow, TRUSTEE_IS_USER),
            SecurityDescriptor::allow(Sid::administrators().get(), FILE_ALL_ACCESS, kHereAndBelow),
            SecurityDescriptor::allow(authenticatedUsers().get(), kAgentsOnFolder, NO_INHERITANCE,
                                      TRUSTEE_IS_WELL_KNOWN_GROUP),
            SecurityDescriptor::allow(creatorOwner().get(), FILE_ALL_ACCESS, kFilesOnly, TRUSTEE_IS_WELL_KNOWN_GROUP)};
}

void create(const std::wstring& location, const std::wstring& root) {
    const std::wstring trimmed = location.substr(0, location.find_last_not_of(L"\\/") + 1);
    bool isDirectory = false;
    if (fileExist(trimmed, &isDirectory) && isDirectory) return;
    if (!root.empty() && !(fileExist(root, &isDirectory) && isDirectory))
        throw vexception(L"No installation root for the dump folder: " + root, raiseSite("DumpFolder::create", __LINE__));
    std::wstring parent = VFileName::removeFileSpec(trimmed);
    parent.erase(parent.find_last_not_of(L"\\/") + 1);
    if (!parent.empty() && parent != trimmed) VDirectory::createDirectory(parent, nullptr);
    SecurityDescriptor security(entries(), false, true);
    VDirectory::createDirectory(trimmed, security.attributes());
}

}  // namespace DumpFolder
