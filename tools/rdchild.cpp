// rdchild: the test suite's child process. Its arguments are a list of
// actions, run in order:
//   exit N        end with exit code N (decimal, or 0x-prefixed hex)
//   sleep MS      sleep MS milliseconds
//   out TEXT      write TEXT (UTF-8) to standard output
//   err TEXT      write TEXT (UTF-8) to standard error
//   cat           copy standard input to standard output until its end
//   cmdline       write the raw command line
//   errormode     end with this process's error mode as exit code
//   handle N      end with 1 when handle value N is open in this process, else 0
//   hold M E      take the named mutex M, then set the named event E; the
//                 mutex is abandoned when the process ends
//   name N        hold the named event N until the process ends; the name
//                 exists exactly as long as some process holds it
//   spawn D MS N  start, without waiting, a copy of ourselves that inherits
//                 our handles (as cmd.exe starts programs) and runs
//                 "name N [spawn D-1 MS N] sleep MS": a tree D levels deep;
//                 writes "spawned PID" and a line end to standard error
//   thread MS N   end the main thread and leave another that sleeps MS
//                 milliseconds and ends the process with exit code N
// Without an exit action it ends with code 0.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "exec/launcher.h"

namespace {

// Three bytes at most for each UTF-16 unit; an empty text converts to nothing.
std::string utf8(const std::wstring& text) {
    std::string result(text.size() * 3, '\0');
    result.resize(WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), result.data(), int(result.size()),
                                      nullptr, nullptr));
    return result;
}

// A synchronous write to a file or pipe returns once every byte is written.
void write(DWORD stream, const std::string& bytes) {
    DWORD written = 0;
    WriteFile(GetStdHandle(stream), bytes.data(), DWORD(bytes.size()), &written, nullptr);
}

void cat() {
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0)
        write(STD_OUTPUT_HANDLE, std::string(buffer, read));
}

std::uint32_t number(const wchar_t* text) { return std::uint32_t(std::wcstoul(text, nullptr, 0)); }

bool spawnTree(std::uint32_t depth, const wchar_t* sleepMs, const wchar_t* name) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" name " + name;
    if (depth > 1) line += L" spawn " + std::to_wstring(depth - 1) + L" " + sleepMs + L" " + name;
    line += L" sleep " + std::wstring(sleepMs);
    STARTUPINFOW startup{.cb = sizeof startup, .dwFlags = STARTF_USESTDHANDLES,
                         .hStdInput = GetStdHandle(STD_INPUT_HANDLE), .hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE),
                         .hStdError = GetStdHandle(STD_ERROR_HANDLE)};
    PROCESS_INFORMATION info{};
    std::wstring mutableLine;
    if (!createProcessRetried([&] {
            mutableLine = line;
            return CreateProcessW(self, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &info);
        }))
        return false;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    write(STD_ERROR_HANDLE, "spawned " + std::to_string(info.dwProcessId) + "\n");
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring action = argv[i];
        const bool hasValue = i + 1 < argc;
        if (action == L"exit" && hasValue) {
            ExitProcess(number(argv[++i]));
        } else if (action == L"sleep" && hasValue) {
            Sleep(number(argv[++i]));
        } else if (action == L"out" && hasValue) {
            write(STD_OUTPUT_HANDLE, utf8(argv[++i]));
        } else if (action == L"err" && hasValue) {
            write(STD_ERROR_HANDLE, utf8(argv[++i]));
        } else if (action == L"cat") {
            cat();
        } else if (action == L"cmdline") {
            write(STD_OUTPUT_HANDLE, utf8(GetCommandLineW()));
        } else if (action == L"errormode") {
            ExitProcess(GetErrorMode());
        } else if (action == L"handle" && hasValue) {
            DWORD flags = 0;
            const auto value = static_cast<std::uintptr_t>(std::wcstoull(argv[++i], nullptr, 10));
            ExitProcess(GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0);
        } else if (action == L"hold" && i + 2 < argc) {
            const HANDLE mutex = CreateMutexW(nullptr, FALSE, argv[++i]);
            const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[++i]);
            if (!mutex || !ready || WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0 || !SetEvent(ready)) return 3;
        } else if (action == L"name" && hasValue) {
            if (!CreateEventW(nullptr, TRUE, FALSE, argv[++i])) return 3;  // held until we end
        } else if (action == L"spawn" && i + 3 < argc) {
            if (!spawnTree(number(argv[i + 1]), argv[i + 2], argv[i + 3])) return 4;
            i += 3;
        } else if (action == L"thread" && i + 2 < argc) {
            static DWORD sleepMs, code;
            sleepMs = number(argv[++i]);
            code = number(argv[++i]);
            const auto last = [](void*) -> DWORD {
                Sleep(sleepMs);
                ExitProcess(code);
            };
            if (!CreateThread(nullptr, 0, last, nullptr, 0, nullptr)) return 3;
            ExitThread(0);
        } else {
            write(STD_ERROR_HANDLE, "rdchild: unknown action " + utf8(action) + "\n");
            return 2;
        }
    }
    return 0;
}
