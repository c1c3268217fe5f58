// rdsender: a stand-in for the panel's report sender. It keeps what it was
// given in a file beside itself, "sent-<pid>.txt": its command line, a line
// feed, then every byte of its standard input. The file appears under that
// name only once the input has ended. RDSENDER_MODE changes what it does:
//   exit    end at once, reading nothing
//   stall   read nothing for 60 s, then end
#include <windows.h>

#include <string>

namespace {

std::string utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(size_t(size > 0 ? size - 1 : 0), '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    return result;
}

}  // namespace

int wmain() {
    wchar_t mode[16] = L"";
    GetEnvironmentVariableW(L"RDSENDER_MODE", mode, 16);
    if (std::wstring(mode) == L"exit") return 0;
    if (std::wstring(mode) == L"stall") {
        Sleep(60000);
        return 0;
    }
    std::string kept = utf8(GetCommandLineW()) + "\n";
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0)
        kept.append(buffer, read);

    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    directory.resize(directory.find_last_of(L'\\') + 1);
    const std::wstring name = directory + L"sent-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE file = CreateFileW((name + L".part").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    const bool complete = WriteFile(file, kept.data(), DWORD(kept.size()), &written, nullptr) && written == kept.size();
    CloseHandle(file);
    return complete && MoveFileW((name + L".part").c_str(), (name + L".txt").c_str()) ? 0 : 1;
}
