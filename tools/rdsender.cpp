// rdsender: a stand-in for the panel's report sender. It keeps what it was given in a file beside itself,
// "sent-<pid>.txt": its command line, a line feed, then every byte of its standard input. The file appears under that
// name only once the input has ended. With RDSENDER_MODE "stall" it reads nothing for 60 s, then ends; with "linger"
// it lives on for 8 s after keeping its input.
#include <windows.h>

#include <string>

int wmain() {
    wchar_t mode[16] = L"";
    if (GetEnvironmentVariableW(L"RDSENDER_MODE", mode, 16) && std::wstring(mode) == L"stall") {
        Sleep(60000);
        return 0;
    }
    const std::wstring line = GetCommandLineW();
    std::string kept(line.size() * 3 + 1, '\0');
    kept.resize(WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()), kept.data(), int(kept.size()), nullptr,
                                    nullptr));
    kept += "\n";
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0)
        kept.append(buffer, read);

    wchar_t path[MAX_PATH];
    std::wstring name(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    name = name.substr(0, name.find_last_of(L'\\') + 1) + L"sent-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE file = CreateFileW((name + L".part").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    const bool complete = WriteFile(file, kept.data(), DWORD(kept.size()), &written, nullptr) && written == kept.size();
    CloseHandle(file);
    const bool done = complete && MoveFileW((name + L".part").c_str(), (name + L".txt").c_str());
    if (std::wstring(mode) == L"linger") Sleep(8000);
    return done ? 0 : 1;
}
