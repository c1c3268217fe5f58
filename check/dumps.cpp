#include "check/checks.h"

#include "check/folder.h"
#include "crash/crashdump.h"
#include "crash/dump_settings.h"
#include "errors/format.h"

namespace Check {

namespace {

// A full-memory dump holds the agent's whole memory: about this much.
constexpr unsigned long long kDumpBytes = 100ull << 20;

void checkSpace(const std::wstring& folder, std::uint32_t count, Findings& findings) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return;
    const unsigned long long needed = count * kDumpBytes;
    const auto megabytes = [](unsigned long long bytes) { return static_cast<unsigned long>(bytes >> 20); };
    if (available.QuadPart < needed)
        findings.push_back({L"dump space", Verdict::Warning,
                            formatString(L"%lu MB free for %s, less than %s (%lu) dumps of about 100 MB: free space "
                                         L"there, lower %s or move %s",
                                         megabytes(available.QuadPart), folder, CrashDumpInfo::kMaxCountValue, count,
                                         CrashDumpInfo::kMaxCountValue, CrashDumpInfo::kLocationValue)});
    else
        findings.push_back({L"dump space", Verdict::Ok,
                            formatString(L"%lu MB free, room for %lu dumps of about 100 MB",
                                         megabytes(available.QuadPart), count)});
}

void checkReaders(const std::wstring& folder, Findings& findings) {
    std::wstring readers;
    try {
        for (const std::wstring& name : everyUserReaders(folder)) readers += (readers.empty() ? L"" : L", ") + name;
    } catch (const vexception& e) {
        findings.push_back({L"dump readers", Verdict::Info, L"the folder's list cannot be read: " + e.message()});
        return;
    }
    if (readers.empty())
        findings.push_back({L"dump readers", Verdict::Ok, L"no group of every local user may read " + folder});
    else
        findings.push_back({L"dump readers", Verdict::Warning,
                            readers + L" may read " + folder + L": dumps hold the agent's whole memory, secrets "
                                      L"unmasked. Restrict the folder to Administrators, SYSTEM and the agent's account"});
}

}  // namespace

void checkCrashDumps(const Installation& installation, Findings& findings) {
    CrashDumpSettings settings;
    try {
        if (installation.config.valid()) settings = readCrashDumpSettings(installation.config.get());
    } catch (const vexception& e) {
        findings.push_back({L"crash dumps", Verdict::Warning,
                            L"off, because a value has the wrong type (" + e.message() + L"): write " +
                                CrashDumpInfo::kEnabledValue + L" and " + CrashDumpInfo::kMaxCountValue +
                                L" as REG_DWORD, " + CrashDumpInfo::kLocationValue + L" as REG_SZ"});
        return;
    }
    if (!settings.enabled) {
        findings.push_back({L"crash dumps", Verdict::Info,
                            installation.root.empty() ? std::wstring(L"off: no installation root")
                                                      : formatString(L"off: %s is 0", CrashDumpInfo::kEnabledValue)});
        return;
    }
    const std::wstring& folder = settings.location;
    findings.push_back({L"crash dumps", Verdict::Info,
                        formatString(L"on, the %lu newest kept in %s (%s)", settings.maxCount, folder,
                                     CrashDumpInfo::kMaxCountValue)});
    switch (folderState(folder)) {
        case FolderState::File:
            findings.push_back({L"dump folder", Verdict::Problem,
                                folder + L" is a file: faults leave no dump. Remove it, or set " +
                                    CrashDumpInfo::kLocationValue + L" to a folder"});
            return;
        case FolderState::Missing: {
            if (!settings.root.empty() && folderState(settings.root) != FolderState::Folder) {
                findings.push_back({L"dump folder", Verdict::Info,
                                    folder + L" is missing, and the agent makes no folder below an installation root "
                                             L"that does not exist: faults leave no dump"});
                return;
            }
            const std::wstring parent = existingAncestor(folder);
            if (!parent.empty() && accessGranted(parent, FILE_ADD_SUBDIRECTORY))
                findings.push_back({L"dump folder", Verdict::Info,
                                    folder + L" is missing; the agent creates it at its next start"});
            else
                findings.push_back({L"dump folder", Verdict::Problem,
                                    folder + L" is missing and this account cannot create it: faults leave no dump. "
                                             L"Create the folder " + folder + L" and let the agent's account modify it"});
            if (!parent.empty()) checkSpace(parent, settings.maxCount, findings);
            return;
        }
        case FolderState::Folder:
            break;
    }
    if (const DWORD error = fileCreationError(folder))
        findings.push_back({L"dump folder", Verdict::Problem,
                            L"this account cannot create a file in " + folder + L" (" + errorText(error) +
                                L"): faults leave no dump. Let the agent's account modify " + folder});
    else
        findings.push_back({L"dump folder", Verdict::Ok, folder + L" exists and this account can create files in it"});
    checkSpace(folder, settings.maxCount, findings);
    checkReaders(folder, findings);
}

}  // namespace Check
