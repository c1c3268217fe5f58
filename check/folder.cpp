#include "check/folder.h"

#include <vector>

#include "errors/format.h"
#include "runtime/acl.h"
#include "runtime/files.h"
#include "runtime/handle.h"
#include "runtime/local_memory.h"
#include "runtime/object_security.h"
#include "runtime/paths.h"
#include "runtime/sid.h"

namespace Check {

FolderState folderState(const std::wstring& path) {
    bool directory = false;
    if (!fileExist(path, &directory)) return FolderState::Missing;
    return directory ? FolderState::Folder : FolderState::File;
}

DWORD fileCreationError(const std::wstring& folder) {
    const std::wstring probe =
        VFileName::combine(folder, formatString(L"rundock-check-%lu.tmp", static_cast<unsigned long>(GetCurrentProcessId())));
    // Removed by the system when the handle closes, also when this process dies first.
    const RunTime::FileHandle file(CreateFileW(VFileName::toLongPath(probe).c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                               CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                               nullptr));
    return file.valid() ? ERROR_SUCCESS : GetLastError();
}

bool accessGranted(const std::wstring& path, DWORD access) {
    constexpr SECURITY_INFORMATION kParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                            DACL_SECURITY_INFORMATION;
    const std::wstring name = VFileName::toLongPath(path);
    DWORD size = 0;
    GetFileSecurityW(name.c_str(), kParts, nullptr, 0, &size);
    std::vector<BYTE> descriptor(size);
    if (size == 0 || !GetFileSecurityW(name.c_str(), kParts, descriptor.data(), size, &size)) return false;
    HANDLE process = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process)) return false;
    const RunTime::AutoHandle processToken(process);
    HANDLE impersonation = nullptr;
    if (!DuplicateToken(processToken.get(), SecurityImpersonation, &impersonation)) return false;
    const RunTime::AutoHandle token(impersonation);
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    MapGenericMask(&access, &mapping);
    PRIVILEGE_SET privileges{};
    DWORD privilegesSize = sizeof privileges, granted = 0;
    BOOL allowed = FALSE;
    return AccessCheck(descriptor.data(), token.get(), access, &mapping, &privileges, &privilegesSize, &granted,
                       &allowed) &&
           allowed;
}

std::wstring parentOf(const std::wstring& path) {
    const std::size_t end = path.find_last_not_of(L"\\/");
    if (end == std::wstring::npos) return L"";
    const std::size_t separator = path.find_last_of(L"\\/", end);
    return separator == std::wstring::npos ? L"" : path.substr(0, separator);
}

std::wstring existingAncestor(const std::wstring& path) {
    for (std::wstring at = path; !at.empty(); at = parentOf(at))
        if (folderState(at) == FolderState::Folder) return at;
    return L"";
}

std::vector<std::wstring> everyUserReaders(const std::wstring& folder) {
    struct Group {
        const wchar_t* name;
        RunTime::Sid sid;
    };
    const Group groups[] = {{L"Everyone", RunTime::Sid(1, {0})},
                            {L"Users", RunTime::Sid(5, {32, 545})},
                            {L"Authenticated Users", RunTime::Sid(5, {11})},
                            {L"INTERACTIVE", RunTime::Sid(5, {4})}};
    constexpr ACCESS_MASK kReading = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
    const RunTime::Acl list = RunTime::Access::getSecurity(folder, SE_FILE_OBJECT);
    std::vector<std::wstring> readers;
    for (const Group& group : groups)
        for (int index = 0; index < list.end(); ++index) {
            const RunTime::Ace entry = list.getAce(index);
            // An inherit-only entry is for what the folder holds, not for the folder.
            if (entry.type() == ACCESS_ALLOWED_ACE_TYPE && !(entry.flags() & INHERIT_ONLY_ACE) &&
                (entry.mask() & kReading) && EqualSid(entry.sid(), group.sid.get())) {
                readers.push_back(group.name);
                break;
            }
        }
    return readers;
}

std::wstring errorText(DWORD error) {
    wchar_t* buffer = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const RunTime::LocalMemory<wchar_t> owned(buffer);
    std::wstring text = buffer ? buffer : L"";
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return formatString(L"error %lu: %s", static_cast<unsigned long>(error), text);
}

}  // namespace Check
