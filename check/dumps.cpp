#include "check/checks.h"

#include <algorithm>

#include "check/folder.h"
#include "crash/crashdump.h"
#include "crash/dump_settings.h"
#include "errors/format.h"
#include "runtime/paths.h"

namespace Check {

namespace {

// A full-memory dump holds the agent's whole memory: about this much.
constexpr unsigned long long kDumpBytes = 100ull << 20;

void checkSpace(const std::wstring& folder, std::uint32_t count, Findings& findings) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
        const DWORD error = GetLastError();
        findings.push_back(
            {L"dump space", Verdict::Info, L"the free space in " + folder + L" cannot be read: " + errorText(error)});
        return;
    }
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
    std::wstring why;
    switch (everyUserMayReadNewFile(folder, why)) {
        case Readable::Yes:
            findings.push_back({L"dump readers", Verdict::Warning,
                                L"every local user may read a dump written to " + folder +
                                    L": dumps hold the agent's whole memory, secrets unmasked. Restrict what the "
                                    L"folder's files inherit to Administrators, SYSTEM and the agent's account"});
            return;
        case Readable::No:
            findings.push_back({L"dump readers", Verdict::Ok, L"no group of every local user may read a dump in " + folder});
            return;
        case Readable::Unknown:
            findings.push_back({L"dump readers", Verdict::Info,
                                L"whether every local user may read a dump in " + folder + L" could not be judged (" +
                                    why + L")"});
    }
}

// The lines of the dump folder not yet given.
void notChecked(const std::wstring& why, Findings& findings) {
    for (const wchar_t* check : {L"dump folder", L"dump space", L"dump readers"})
        if (std::none_of(findings.begin(), findings.end(), [&](const Finding& found) { return found.check == check; }))
            findings.push_back({check, Verdict::Info, L"not checked: " + why});
}

// Why the agent cannot make or use the missing folder; empty when it can.
std::wstring missingFolderProblem(const std::wstring& folder, const std::wstring& existing) {
    if (existing.empty())
        return folder[1] == L':' && GetDriveTypeW((folder.substr(0, 2) + L"\\").c_str()) == DRIVE_NO_ROOT_DIR
                   ? L"drive " + folder.substr(0, 2) + L" does not exist"
                   : L"no part of it exists";
    if (folderState(existing) == FolderState::File) return existing + L" is a file, so no folder can be made below it";
    if (!accessGranted(existing, FILE_ADD_SUBDIRECTORY)) return L"this account cannot create it in " + existing;
    return L"";
}

}  // namespace

void checkCrashDumps(const Installation& installation, Findings& findings) {
    const auto off = [&](Verdict verdict, const std::wstring& text, const wchar_t* why = L"dumps are off") {
        findings.push_back({L"crash dumps", verdict, text});
        notChecked(why, findings);
    };
    if (installation.root.empty()) return off(Verdict::Info, L"off: no installation root");
    std::wstring wrong;
    for (const auto& [name, type] : {std::pair{CrashDumpInfo::kEnabledValue, REG_DWORD},
                                     std::pair{CrashDumpInfo::kLocationValue, REG_SZ},
                                     std::pair{CrashDumpInfo::kMaxCountValue, REG_DWORD}})
        if (const std::wstring how = wrongType(installation.config, name, type); !how.empty())
            wrong += formatString(L"%s%s is %s", wrong.empty() ? L"" : L", ", name, how);
    if (!wrong.empty())
        return off(Verdict::Problem,
                   L"off, because " + wrong + L": write " + CrashDumpInfo::kEnabledValue + L" and " +
                       CrashDumpInfo::kMaxCountValue + L" as REG_DWORD, " + CrashDumpInfo::kLocationValue +
                       L" as REG_SZ");
    const CrashDumpSettings settings = readCrashDumpSettings(installation.config.get());
    if (!settings.enabled) return off(Verdict::Info, formatString(L"off: %s is 0", CrashDumpInfo::kEnabledValue));
    const std::wstring& folder = settings.location;
    const std::wstring mend = L"; set " + std::wstring(CrashDumpInfo::kLocationValue) + L" to a full path of a folder";
    if (!VFileName::isFullyQualified(folder))
        return off(Verdict::Problem, folder + L" (" + CrashDumpInfo::kLocationValue +
                                         L") is no full path: the agent would make it below each task's current "
                                         L"directory, and leave dumps there" + mend,
                   L"the dump folder is no full path");
    const std::wstring prefix = VFileName::removeExtension(kAgentFile);
    if (!dumpNameFits(folder, prefix))
        return off(Verdict::Problem,
                   formatString(L"off: %s is too long for a dump's name (%s plus \\%s and a stamp of %u characters "
                                L"must fit in %u)%s",
                                folder, CrashDumpInfo::kLocationValue, prefix, unsigned(kDumpStampLength),
                                unsigned(kLongestDumpPath), mend));
    findings.push_back({L"crash dumps", Verdict::Info,
                        formatString(L"on, the %lu newest kept in %s (%s)", settings.maxCount, folder,
                                     CrashDumpInfo::kMaxCountValue)});
    switch (folderState(folder)) {
        case FolderState::File:
            findings.push_back({L"dump folder", Verdict::Problem,
                                folder + L" is a file: faults leave no dump. Remove it, or set " +
                                    CrashDumpInfo::kLocationValue + L" to a folder"});
            notChecked(L"the dump folder is a file", findings);
            return;
        case FolderState::Missing: {
            if (!settings.root.empty() && folderState(settings.root) != FolderState::Folder) {
                findings.push_back({L"dump folder", Verdict::Info,
                                    folder + L" is missing, and the agent makes no folder below an installation root "
                                             L"that does not exist: faults leave no dump"});
                notChecked(L"the installation root does not exist", findings);
                return;
            }
            const std::wstring existing = nearestExisting(parentOf(folder));
            if (const std::wstring why = missingFolderProblem(folder, existing); !why.empty()) {
                findings.push_back({L"dump folder", Verdict::Problem,
                                    folder + L" is missing and the agent cannot create it (" + why +
                                        L"): dumps are off. Create the folder and let the agent's account modify it, or" +
                                        mend.substr(1)});
                notChecked(L"the dump folder cannot be made", findings);
                return;
            }
            findings.push_back({L"dump folder", Verdict::Info,
                                folder + L" is missing; the agent creates it at its next start"});
            checkSpace(existing, settings.maxCount, findings);
            findings.push_back({L"dump readers", Verdict::Info,
                                L"not checked: the folder does not exist yet; the agent gives the folder it makes a "
                                L"list that keeps other users' accounts out of the dumps"});
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
