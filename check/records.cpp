// Where the agent's records go: the log file and the event log.
#include "check/checks.h"

#include "check/folder.h"
#include "errors/format.h"
#include "log/event_source.h"
#include "log/log_folder.h"
#include "log/logfile.h"
#include "log/logmanager.h"
#include "runtime/library.h"
#include "runtime/local_memory.h"
#include "runtime/paths.h"

namespace Check {

namespace {

// Whether this account may make the folder in the nearest folder above it that exists.
std::wstring creationHint(const std::wstring& folder) {
    const std::wstring parent = existingAncestor(parentOf(folder));
    if (parent.empty()) return L"";
    return accessGranted(parent, FILE_ADD_SUBDIRECTORY)
               ? L" (this account may create it in " + parent + L")"
               : L" (this account may not create it in " + parent + L": do it as an administrator)";
}

// Whether the message file renders the agent's one event. Loaded as data
// only: none of the file's code runs.
bool rendersEvent(const std::wstring& file) {
    const RunTime::Owner<RunTime::LibraryTraits> module(
        LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module.valid()) return false;
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        module.get(), LogManager::kEventId, 0, reinterpret_cast<wchar_t*>(&text), 0,
                                        nullptr);
    const RunTime::LocalMemory<wchar_t> owned(text);
    return length > 0;
}

// Whether this account could make the event source (and the log, when missing) as the agent does.
bool canRegisterSource() {
    const bool logThere = registry::keyExists(HKEY_LOCAL_MACHINE, eventLogKey(), registry::View::Native);
    const std::wstring parent = logThere ? eventLogKey() : parentOf(eventLogKey());
    try {
        // Opened for writing, nothing written: the open alone asks for the rights.
        registry::open(HKEY_LOCAL_MACHINE, parent,
                       KEY_CREATE_SUB_KEY | KEY_SET_VALUE | registry::accessFlag(registry::View::Native));
        return true;
    } catch (const vexception&) {
        return false;
    }
}

// Why file renders none of the agent's events; empty when it renders event 1.
std::wstring messageFileFault(const std::wstring& file) {
    if (folderState(file) != FolderState::File) return file + L" is missing";
    if (!rendersEvent(file)) return file + L" does not render event 1";
    return L"";
}

// The file Event Viewer reads now (the registered one) and the one the agent registers at its next event.
void checkMessageFile(const std::wstring& registered, const std::wstring& expected, Findings& findings) {
    if (const std::wstring fault = expected.empty() ? L"" : messageFileFault(expected); !fault.empty()) {
        findings.push_back({L"message file", Verdict::Problem,
                            fault + L": Event Viewer shows the agent's records without their text. Install "
                                    L"eventmsg.dll from the package into that folder"});
        return;
    }
    const bool other = !registered.empty() && (expected.empty() || !RunTime::striequal(registered, expected));
    if (const std::wstring fault = other ? messageFileFault(registered) : L""; !fault.empty()) {
        findings.push_back({L"message file", Verdict::Warning,
                            fault + L", the registered message file: Event Viewer shows the agent's records without "
                                    L"their text" +
                                (expected.empty() ? L"" : L" until the agent registers " + expected + L" at its next event")});
        return;
    }
    if (expected.empty() && !other) {
        findings.push_back({L"message file", Verdict::Info, L"not checked: no installation root"});
        return;
    }
    findings.push_back({L"message file", Verdict::Ok,
                        (other && !expected.empty() ? registered + L" and " + expected + L" render"
                                                     : (other ? registered : expected) + L" renders") +
                            L" event 1"});
}

}  // namespace

void checkLogFile(const Installation& installation, Findings& findings) {
    const std::wstring switchName = logSwitchName(kManagerLogName);
    DWORD enabled = kManagerLogEnabledByDefault;
    try {
        enabled = logFileSwitch(kManagerLogName, kManagerLogEnabledByDefault);
    } catch (const vexception&) {
        findings.push_back({L"log file", Verdict::Problem,
                            switchName + L" is not a REG_DWORD: the log file loses every record. Write it as REG_DWORD "
                                         L"1, or delete it: " + regAddCommand(switchName, L"REG_DWORD", L"1")});
        return;
    }
    if (!enabled)
        findings.push_back({L"log file", Verdict::Warning,
                            switchName + L" is 0: the log file is off and records reach only the event log. Set it to "
                                         L"1, or delete it, to write the log file"});
    else
        findings.push_back({L"log file", Verdict::Ok, L"the log file is on"});
    if (installation.root.empty()) {
        findings.push_back({L"log folder", Verdict::Info, L"not checked: no installation root"});
        return;
    }
    const std::wstring folder = logFolder();
    const Verdict missing = enabled ? Verdict::Problem : Verdict::Info;
    switch (folderState(folder)) {
        case FolderState::File:
            findings.push_back({L"log folder", missing,
                                folder + L" is a file, not a folder: the log file loses every record. Remove the file "
                                         L"and create the folder " + folder});
            return;
        case FolderState::Missing:
            findings.push_back({L"log folder", missing,
                                folder + L" is missing, and the agent never creates it: the log file loses every "
                                         L"record. Create the folder " + folder + creationHint(folder)});
            return;
        case FolderState::Folder:
            break;
    }
    if (const DWORD error = fileCreationError(folder))
        findings.push_back({L"log folder", missing,
                            L"this account cannot create a file in " + folder + L" (" + errorText(error) +
                                L"): the log file loses every record. Let the agent's account modify " + folder});
    else
        findings.push_back({L"log folder", Verdict::Ok, folder + L" exists and this account can create files in it"});
}

void checkEventLog(const Installation& installation, Findings& findings) {
    const std::wstring sourceKey = eventSourceKey(kAgentFile);
    std::wstring registered;
    LSTATUS status = ERROR_FILE_NOT_FOUND;
    try {
        status = registry::lookup(HKEY_LOCAL_MACHINE, sourceKey, kMessageFileValue, registered, REG_EXPAND_SZ,
                                  registry::View::Native);
    } catch (const vexception&) {
    }
    const std::wstring expected = installation.root.empty() ? L"" : eventMessageFile(installation.root);
    if (status != ERROR_SUCCESS)
        findings.push_back(
            canRegisterSource()
                ? Finding{L"event source", Verdict::Info,
                          L"not registered yet: the agent registers HKLM\\" + sourceKey + L" at its first event"}
                : Finding{L"event source", Verdict::Warning,
                          L"HKLM\\" + sourceKey + L" is not registered and this account cannot create it: no record "
                          L"reaches the event log. Run the agent once as an administrator, or create the key with "
                          L"its values (see the guide)"});
    else if (!expected.empty() && !RunTime::striequal(registered, expected))
        findings.push_back({L"event source", Verdict::Warning,
                            formatString(folderState(expected) == FolderState::File
                                             ? L"%s names %s, not %s: the agent writes it again at its next "
                                               L"registration; until then Event Viewer reads that file"
                                             : L"%s names %s, not %s, which the agent names only once it exists",
                                         kMessageFileValue, registered, expected)});
    else
        findings.push_back({L"event source", Verdict::Ok,
                            formatString(L"registered; %s names %s", kMessageFileValue, registered)});
    checkMessageFile(status == ERROR_SUCCESS ? registered : L"", expected, findings);
}

}  // namespace Check
