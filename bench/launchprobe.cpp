// rdlaunchprobe FLAGS COMMAND-LINE [THREAD-MS]: starts the command with the
// given creation flags (decimal or 0x hex), waits for it and ends with its
// code. It shows what a console of the child's own (CREATE_NO_WINDOW) costs
// against inheriting the caller's. With THREAD-MS it first parks one more
// thread, as the last chance's helper is parked, and starts the command that
// many milliseconds later: under Wine a thread made just before a start
// slows the child's console start, and one made well before does not.
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const DWORD flags = std::wcstoul(argv[1], nullptr, 0);
    std::wstring line = argv[2];
    if (argc > 3) {
        static const HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!never) return 5;
        const HANDLE parked = CreateThread(
            nullptr, 0, [](void*) -> DWORD { return WaitForSingleObject(never, INFINITE); }, nullptr, 0, nullptr);
        if (!parked) return 5;
        CloseHandle(parked);
        Sleep(std::wcstoul(argv[3], nullptr, 10));
    }
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
