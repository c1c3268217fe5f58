// rdsender: a stand-in for the panel's report sender. It keeps what it was given in a file beside itself,
// "sent-<pid>.txt": its command line, a line feed, then every byte of its standard input. The file appears under that
// name only once the input has ended. With RDSENDER_MODE "stall" it reads nothing for 60 s, then ends; with "linger"
// it lives on for 8 s after keeping its input.
#include <windows.h>

#include <cwchar>
#include <fstream>
#include <string>

int wmain() {
    wchar_t mode[16] = L"";
    if (GetEnvironmentVariableW(L"RDSENDER_MODE", mode, 16) && std::wstring(mode) == L"stall") {
        Sleep(60000);
        return 0;
    }
    std::string kept(std::wcslen(GetCommandLineW()) * 3 + 1, '\0');
    kept.resize(WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, kept.data(), int(kept.size()), nullptr, nullptr));
    kept.back() = '\n';  // in place of the terminator the conversion wrote
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0)
        kept.append(buffer, read);

    wchar_t path[MAX_PATH];
    std::wstring name(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    name = name.substr(0, name.find_last_of(L'\\') + 1) + L"sent-" + std::to_wstring(GetCurrentProcessId());
    // The stream is flushed and closed by the end of the statement, before the rename.
    const bool written =
        !!std::ofstream((name + L".part").c_str(), std::ios::binary).write(kept.data(), kept.size()).flush();
    const bool done = written && MoveFileW((name + L".part").c_str(), (name + L".txt").c_str());
    if (std::wstring(mode) == L"linger") Sleep(8000);
    return done ? 0 : 1;
}
