// The system and the account, for information.
#include "check/checks.h"

#include "errors/format.h"
#include "runtime/access_token.h"
#include "runtime/handle.h"

namespace Check {

namespace {

void checkWindows(Findings& findings) {
    // GetVersionEx answers what the manifest declares; ntdll's own call the system's real version.
    using GetVersion = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto getVersion = reinterpret_cast<GetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    OSVERSIONINFOEXW version{sizeof version};
    if (!getVersion || getVersion(&version) != 0) return;
    std::wstring text = formatString(L"Windows %lu.%lu build %lu%s", version.dwMajorVersion, version.dwMinorVersion,
                                     version.dwBuildNumber,
                                     version.wProductType == VER_NT_WORKSTATION ? L"" : L" (server)");
    using WineVersion = const char*(CDECL*)();
    if (const auto wine = reinterpret_cast<WineVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version"))))
        text += formatString(L", Wine %s", std::string(wine()));
    findings.push_back({L"windows", Verdict::Info, text});
}

void checkLongPaths(Findings& findings) {
    DWORD enabled = 0;
    try {
        registry::lookup(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem", L"LongPathsEnabled",
                         enabled, registry::View::Native);
    } catch (const vexception&) {
        enabled = 0;
    }
    findings.push_back({L"long paths", Verdict::Info,
                        enabled ? L"LongPathsEnabled is 1: the agent may use paths beyond 260 characters; a task's own "
                                  L"programs may only when their own manifest declares them long-path aware too"
                                : L"LongPathsEnabled is not set: a task's current directory and paths beyond 260 "
                                  L"characters need the \\\\?\\ prefix; a task's own programs need both the "
                                  L"setting and their own manifest to go beyond"});
}

void checkAccount(Findings& findings) {
    HANDLE process = nullptr;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &process)) {
        const RunTime::AutoHandle token(process);
        GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size);
    }
    const bool administrator = RunTime::Access::isTokenMember(nullptr);
    findings.push_back(
        {L"account", Verdict::Info,
         administrator || elevation.TokenIsElevated
             ? std::wstring(L"elevated administrator: this account can register the event source and create the dump "
                            L"folder; the agent's own account may not, so run this check as that account")
             : std::wstring(L"not elevated: the event source must be registered and the dump folder created by an "
                            L"administrator beforehand")});
}

}  // namespace

void checkSystem(Findings& findings) {
    checkWindows(findings);
    checkLongPaths(findings);
    checkAccount(findings);
}

}  // namespace Check
