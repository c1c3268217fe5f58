// rdminlauncher [job|nojob]: the least a program can do to honour the task
// contract, as the yardstick of the agent's own cost. It reads the same RD_*
// variables, starts the child suspended without a window with its three
// stream files as its only inherited handles, resumes it, writes the PID,
// waits within the timeout, ends the child with 1460 on expiry and writes the
// exit code. No checks, no logging, no registry. With "job" the child runs in
// a job object, ended as a whole on expiry; with an argument it prints the
// microseconds its job step took (creation, assignment).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::wstring variable(const wchar_t* name) {
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

HANDLE inheritable(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
    return CreateFileW(path.c_str(), access, share, &attributes, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool writeNumber(const std::wstring& path, unsigned long number) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char digits[16];
    const int length = std::snprintf(digits, sizeof digits, "%lu", number);
    DWORD written = 0;
    const bool ok = WriteFile(file, digits, DWORD(length), &written, nullptr) && written == DWORD(length);
    CloseHandle(file);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool useJob = argc > 1 && std::wcscmp(argv[1], L"job") == 0;
    const bool printStep = argc > 1;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    HANDLE handles[3] = {inheritable(variable(L"RD_STDIN"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     OPEN_EXISTING),
                         inheritable(variable(L"RD_STDOUT"), GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS),
                         inheritable(variable(L"RD_STDERR"), GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS)};
    for (HANDLE handle : handles)
        if (handle == INVALID_HANDLE_VALUE) return 2;
    startup.StartupInfo.hStdInput = handles[0];
    startup.StartupInfo.hStdOutput = handles[1];
    startup.StartupInfo.hStdError = handles[2];
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string list(size, '\0');
    startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    if (!InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size) ||
        !UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                   sizeof handles, nullptr, nullptr))
        return 3;
    std::wstring line = L"\"" + variable(L"RD_CMD_BINARY") + L"\" " + variable(L"RD_CMD_ARGS");
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                        &startup.StartupInfo, &child))
        return 4;
    for (HANDLE handle : handles) CloseHandle(handle);
    DeleteProcThreadAttributeList(startup.lpAttributeList);

    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    HANDLE job = nullptr;
    if (useJob) {
        job = CreateJobObjectW(nullptr, nullptr);
        if (!job || !AssignProcessToJobObject(job, child.hProcess)) return 5;
    }
    QueryPerformanceCounter(&after);
    ResumeThread(child.hThread);
    if (!writeNumber(variable(L"RD_PID"), child.dwProcessId)) return 6;
    const DWORD timeout = std::wcstoul(variable(L"RD_TIMEOUT").c_str(), nullptr, 10) * 1000;
    DWORD code = 1460;
    if (WaitForSingleObject(child.hProcess, timeout) == WAIT_OBJECT_0)
        GetExitCodeProcess(child.hProcess, &code);
    else if (job)
        TerminateJobObject(job, 1460);
    else
        TerminateProcess(child.hProcess, 1460);
    if (!writeNumber(variable(L"RD_EXIT_CODE"), code)) return 7;
    if (printStep) std::printf("%lld\n", (after.QuadPart - before.QuadPart) * 1000000 / frequency.QuadPart);
    return 0;
}
