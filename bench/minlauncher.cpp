// rdminlauncher: the least a program can do to honour the task contract, as
// the yardstick of the agent's own cost. It reads the same RD_* variables,
// gives the child the same three stream files and the same console of its
// own, writes the PID, waits within the timeout, ends the child with 1460 on
// expiry and writes the exit code. No checks, no logging, no registry.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring variable(const wchar_t* name) {
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    return std::wstring(value, length < 32768 ? length : 0);
}

HANDLE stream(const wchar_t* name, bool reading) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    return CreateFileW(variable(name).c_str(), reading ? GENERIC_READ : GENERIC_WRITE,
                       reading ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ, &inheritable,
                       reading ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void writeNumber(const wchar_t* name, unsigned long value) {
    const std::string text = std::to_string(value);
    const HANDLE file = CreateFileW(variable(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace

int wmain() {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = stream(L"RD_STDIN", true);
    startup.hStdOutput = stream(L"RD_STDOUT", false);
    startup.hStdError = stream(L"RD_STDERR", false);
    std::wstring line = L"\"" + variable(L"RD_CMD_BINARY") + L"\" " + variable(L"RD_CMD_ARGS");
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &child))
        return 1;
    writeNumber(L"RD_PID", child.dwProcessId);
    DWORD code = 1460;
    if (WaitForSingleObject(child.hProcess, std::wcstoul(variable(L"RD_TIMEOUT").c_str(), nullptr, 10) * 1000) ==
        WAIT_OBJECT_0)
        GetExitCodeProcess(child.hProcess, &code);
    else
        TerminateProcess(child.hProcess, 1460);
    writeNumber(L"RD_EXIT_CODE", code);
    return 0;
}
