// rdminlauncher: the task run contract and nothing else, the baseline of
// the agent's start-up cost. Reads the RD_* variables, starts the child
// with its three stream files in a hidden console of its own, writes its
// PID, waits up to the timeout (then ends it with 1460), writes its exit code.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring variable(const wchar_t* name) {
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    return length && length < 32768 ? std::wstring(value, length) : std::wstring();
}

HANDLE open(const std::wstring& path, bool write) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    return CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inheritable, write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool writeNumber(const std::wstring& path, unsigned long number) {
    const HANDLE file = open(path, true);
    if (file == INVALID_HANDLE_VALUE) return false;
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%lu", number);
    DWORD written = 0;
    const BOOL ok = WriteFile(file, text, DWORD(length), &written, nullptr);
    CloseHandle(file);
    return ok;
}

}  // namespace

int wmain() {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = open(variable(L"RD_STDIN"), false);
    startup.hStdOutput = open(variable(L"RD_STDOUT"), true);
    startup.hStdError = open(variable(L"RD_STDERR"), true);
    std::wstring line = L"\"" + variable(L"RD_CMD_BINARY") + L"\" " + variable(L"RD_CMD_ARGS");
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &child))
        return 1;
    if (!writeNumber(variable(L"RD_PID"), child.dwProcessId)) return 1;
    DWORD code = 1460;
    if (WaitForSingleObject(child.hProcess, std::wcstoul(variable(L"RD_TIMEOUT").c_str(), nullptr, 10) * 1000) ==
        WAIT_OBJECT_0)
        GetExitCodeProcess(child.hProcess, &code);
    else
        TerminateProcess(child.hProcess, 1460);
    return writeNumber(variable(L"RD_EXIT_CODE"), code) ? 0 : 1;
}
