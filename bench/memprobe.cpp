// rdmemprobe: starts PROGRAM [ARGUMENTS...] (default: rundock.exe beside this
// program) with this program's environment, waits for it, and prints its
// memory counters in KiB on one line:
//   peak_ws KIB peak_private KIB exit_query ok|zero|errorN samples N exit_code CODE
// GetProcessMemoryInfo is read on the ended process's handle before it is
// closed. Wine answers that query from the Linux process's /proc status,
// which an ended process may no longer have: then it gives zeros (exit_query
// zero) or fails. So the counters are also sampled every millisecond while
// the process runs, and the figures are the largest of all readings.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

std::wstring besideSelf(const wchar_t* name) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + name;
}

bool query(HANDLE process, PROCESS_MEMORY_COUNTERS_EX& counters) {
    counters = PROCESS_MEMORY_COUNTERS_EX{};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
}

unsigned long long kib(SIZE_T bytes) { return (unsigned long long)bytes / 1024; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring program = argc > 1 ? argv[1] : besideSelf(L"rundock.exe");
    // Our arguments hold no quotes or blanks beyond what quoting each covers.
    std::wstring commandLine = L"\"" + program + L"\"";
    for (int i = 2; i < argc; ++i) commandLine += std::wstring(L" \"") + argv[i] + L"\"";

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
        return 2;
    }
    CloseHandle(process.hThread);

    PROCESS_MEMORY_COUNTERS_EX counters;
    SIZE_T maxWorkingSet = 0, maxPagefile = 0;
    unsigned long samples = 0;
    while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT) {
        if (!query(process.hProcess, counters)) continue;
        ++samples;
        maxWorkingSet = std::max({maxWorkingSet, counters.WorkingSetSize, counters.PeakWorkingSetSize});
        maxPagefile = std::max({maxPagefile, counters.PagefileUsage, counters.PeakPagefileUsage});
    }

    const bool ended = query(process.hProcess, counters);
    const DWORD error = ended ? 0 : GetLastError();
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);

    const bool useful = ended && counters.PeakWorkingSetSize != 0;
    char status[32];
    if (useful)
        std::snprintf(status, sizeof status, "ok");
    else if (ended)
        std::snprintf(status, sizeof status, "zero");
    else
        std::snprintf(status, sizeof status, "error%lu", error);
    if (useful) {
        maxWorkingSet = std::max({maxWorkingSet, counters.WorkingSetSize, counters.PeakWorkingSetSize});
        maxPagefile = std::max({maxPagefile, counters.PagefileUsage, counters.PeakPagefileUsage, counters.PrivateUsage});
    }
    std::printf("peak_ws %llu peak_private %llu exit_query %s samples %lu exit_code %lu\n", kib(maxWorkingSet),
                kib(maxPagefile), status, samples, exitCode);
    return 0;
}
