// rdlaunchprobe FLAGS COMMAND-LINE: starts the command with the given
// creation flags (decimal or 0x hex), waits for it and ends with its code.
// It shows what a console of the child's own (CREATE_NO_WINDOW) costs
// against inheriting the caller's.
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const DWORD flags = std::wcstoul(argv[1], nullptr, 0);
    std::wstring line = argv[2];
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup, &info))
        return 3;
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 4;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return static_cast<int>(code);
}
