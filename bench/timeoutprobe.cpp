// rdtimeoutprobe: starts rundock.exe (beside this program) RUNS times with the
// task environment this program was given, and polls the RD_PID and
// RD_EXIT_CODE files about once a millisecond until the exit-code file holds
// 1460. Per run it prints one line:
//   run N pid_ms EXIT_MS code_ms EXIT_MS agent AGENT_EXIT_CODE
// with pid_ms = when the PID file was first seen and code_ms = when 1460 was
// first read, both in milliseconds after the CreateProcess call, and a last
// line "poll_us MEAN" with the mean polling period. The calling script sets
// RD_TIMEOUT and a child that outlives it, and computes the lateness.
//
// Polling from inside Wine keeps one clock (QueryPerformanceCounter) for the
// agent's start and both files, and starts the agent the way the scheduler
// does, without the Linux-side loader start in front of it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::wstring variable(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD size = GetEnvironmentVariableW(name, buffer, 32768);
    return size > 0 && size < 32768 ? std::wstring(buffer, size) : std::wstring();
}

bool exists(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    return GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
}

// Opens the file only once it has content, that is after the agent's own
// open: a reader's handle can then never make the agent's open fail.
std::string content(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) || data.nFileSizeLow == 0) return {};
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    char buffer[64];
    DWORD read = 0;
    const BOOL ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr);
    CloseHandle(file);
    return ok ? std::string(buffer, read) : std::string();
}

std::wstring agentPath() {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"rundock.exe";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const unsigned long runs = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 20;
    const std::wstring pidFile = variable(L"RD_PID");
    const std::wstring exitFile = variable(L"RD_EXIT_CODE");
    if (pidFile.empty() || exitFile.empty()) {
        std::fprintf(stderr, "RD_PID and RD_EXIT_CODE must be set\n");
        return 2;
    }
    const std::wstring agent = agentPath();
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    auto ms = [&](LONGLONG from, LONGLONG to) { return double(to - from) * 1000.0 / double(frequency.QuadPart); };
    unsigned long long polls = 0;
    double polledMs = 0;
    int failures = 0;

    for (unsigned long run = 1; run <= runs; ++run) {
        DeleteFileW(pidFile.c_str());
        DeleteFileW(exitFile.c_str());
        std::wstring commandLine = L"\"" + agent + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        LARGE_INTEGER start, now;
        QueryPerformanceCounter(&start);
        if (!CreateProcessW(agent.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
            std::fprintf(stderr, "CreateProcess failed: %lu\n", GetLastError());
            return 2;
        }
        CloseHandle(process.hThread);
        LONGLONG pidSeen = 0, codeSeen = 0;
        bool agentEnded = false;
        for (;;) {
            QueryPerformanceCounter(&now);
            if (!pidSeen && exists(pidFile)) pidSeen = now.QuadPart;
            if (!codeSeen) {
                const std::string code = content(exitFile);
                if (code == "1460") {
                    codeSeen = now.QuadPart;
                    break;
                }
                if (!code.empty()) break;  // a wrong code: reported below
            }
            if (agentEnded) break;  // one more look after the end, then give up
            ++polls;
            // The wait doubles as the 1 ms sleep between two looks.
            agentEnded = WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0;
        }
        polledMs += ms(start.QuadPart, now.QuadPart);
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD agentCode = 0;
        GetExitCodeProcess(process.hProcess, &agentCode);
        CloseHandle(process.hProcess);
        if (!pidSeen || !codeSeen) {
            ++failures;
            std::printf("run %lu failed: pid %s, exit code file '%s', agent %lu\n", run, pidSeen ? "seen" : "missing",
                        content(exitFile).c_str(), agentCode);
        } else {
            std::printf("run %lu pid_ms %.2f code_ms %.2f agent %lu\n", run, ms(start.QuadPart, pidSeen),
                        ms(start.QuadPart, codeSeen), agentCode);
        }
        std::fflush(stdout);
    }
    std::printf("poll_us %.0f\n", polls ? polledMs * 1000.0 / double(polls) : 0.0);
    return failures ? 1 : 0;
}
