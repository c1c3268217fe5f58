#include "check/folder.h"

#include <authz.h>

#include <vector>

#include "errors/format.h"
#include "runtime/files.h"
#include "runtime/handle.h"
#include "runtime/local_memory.h"
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

namespace {

GENERIC_MAPPING fileMapping() { return {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS}; }

// The owner, group and list of path, self-relative; empty when they cannot be read.
std::vector<BYTE> fileSecurity(const std::wstring& path) {
    constexpr SECURITY_INFORMATION kParts = OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                            DACL_SECURITY_INFORMATION;
    const std::wstring name = VFileName::toLongPath(path);
    DWORD size = 0;
    GetFileSecurityW(name.c_str(), kParts, nullptr, 0, &size);
    std::vector<BYTE> descriptor(size);
    if (size == 0 || !GetFileSecurityW(name.c_str(), kParts, descriptor.data(), size, &size)) return {};
    return descriptor;
}

}  // namespace

bool accessGranted(const std::wstring& path, DWORD access) {
    std::vector<BYTE> descriptor = fileSecurity(path);
    if (descriptor.empty()) return false;
    HANDLE process = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process)) return false;
    const RunTime::AutoHandle processToken(process);
    HANDLE impersonation = nullptr;
    if (!DuplicateToken(processToken.get(), SecurityImpersonation, &impersonation)) return false;
    const RunTime::AutoHandle token(impersonation);
    GENERIC_MAPPING mapping = fileMapping();
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

std::wstring nearestExisting(const std::wstring& path) {
    for (std::wstring at = path; !at.empty(); at = parentOf(at))
        if (folderState(at) != FolderState::Missing) return at;
    return L"";
}

namespace {

struct ResourceManagerTraits {
    using Value = AUTHZ_RESOURCE_MANAGER_HANDLE;
    static Value empty() noexcept { return nullptr; }
    static bool valid(Value value) noexcept { return value != nullptr; }
    static void close(Value value) noexcept { AuthzFreeResourceManager(value); }
};
struct ClientContextTraits {
    using Value = AUTHZ_CLIENT_CONTEXT_HANDLE;
    static Value empty() noexcept { return nullptr; }
    static bool valid(Value value) noexcept { return value != nullptr; }
    static void close(Value value) noexcept { AuthzFreeContext(value); }
};
struct PrivateSecurityTraits {
    using Value = PSECURITY_DESCRIPTOR;
    static Value empty() noexcept { return nullptr; }
    static bool valid(Value value) noexcept { return value != nullptr; }
    static void close(Value value) noexcept { DestroyPrivateObjectSecurity(&value); }
};

}  // namespace

Readable everyUserMayReadNewFile(const std::wstring& folder, std::wstring& why) {
    const auto unknown = [&](const wchar_t* what) {
        why = formatString(L"%s: %s", what, errorText(GetLastError()));
        return Readable::Unknown;
    };
    std::vector<BYTE> parent = fileSecurity(folder);
    if (parent.empty()) return unknown(L"the folder's security cannot be read");
    HANDLE process = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &process)) return unknown(L"this account cannot be read");
    const RunTime::AutoHandle token(process);
    // What a dump made there by this account gets: the folder's inheritable entries, CREATOR OWNER made this account.
    GENERIC_MAPPING mapping = fileMapping();
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!CreatePrivateObjectSecurityEx(parent.data(), nullptr, &made, nullptr, FALSE,
                                       SEF_DACL_AUTO_INHERIT | SEF_AVOID_PRIVILEGE_CHECK | SEF_AVOID_OWNER_CHECK,
                                       token.get(), &mapping))
        return unknown(L"the system cannot tell what a new file there inherits");
    const RunTime::Owner<PrivateSecurityTraits> inherited(made);
    AUTHZ_RESOURCE_MANAGER_HANDLE manager = nullptr;
    if (!AuthzInitializeResourceManager(AUTHZ_RM_FLAG_NO_AUDIT, nullptr, nullptr, nullptr, nullptr, &manager))
        return unknown(L"the system cannot weigh a list for other accounts");
    const RunTime::Owner<ResourceManagerTraits> resources(manager);
    // No token holds only what every local user holds: a client made of those SIDs alone.
    const RunTime::Sid& everyone = RunTime::Sid::everyone();
    const RunTime::Sid users = RunTime::Sid::users(), authenticated(5, {11}), interactive(5, {4});
    AUTHZ_CLIENT_CONTEXT_HANDLE first = nullptr, client = nullptr;
    if (!AuthzInitializeContextFromSid(AUTHZ_SKIP_TOKEN_GROUPS, everyone.get(), manager, nullptr, LUID{}, nullptr,
                                       &first))
        return unknown(L"the system cannot weigh a list for other accounts");
    const RunTime::Owner<ClientContextTraits> everyoneOnly(first);
    SID_AND_ATTRIBUTES groups[] = {{users.get(), SE_GROUP_ENABLED},
                                   {authenticated.get(), SE_GROUP_ENABLED},
                                   {interactive.get(), SE_GROUP_ENABLED}};
    if (!AuthzAddSidsToContext(first, groups, ARRAYSIZE(groups), nullptr, 0, &client))
        return unknown(L"the system cannot weigh a list for other accounts");
    const RunTime::Owner<ClientContextTraits> everyUser(client);
    AUTHZ_ACCESS_REQUEST request{FILE_READ_DATA};
    ACCESS_MASK granted = 0;
    DWORD error = ERROR_SUCCESS;
    AUTHZ_ACCESS_REPLY reply{1, &granted, nullptr, &error};
    if (!AuthzAccessCheck(0, client, &request, nullptr, made, nullptr, 0, &reply, nullptr))
        return unknown(L"the system cannot weigh a list for other accounts");
    return error == ERROR_SUCCESS && (granted & FILE_READ_DATA) ? Readable::Yes : Readable::No;
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
