// Wine's own trace of the system calls a program makes, for what only the implementation shows (its event log stores
// nothing, but traces every report). Wine prints it on the Unix standard error, which no Windows handle reaches: a Unix
// shell started through Wine runs the program and keeps that output in a file. The trace's layout is Wine 8's.
#pragma once

#include <windows.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/text.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"

namespace test_wine {

// The lines Wine prints while program runs with WINEDEBUG=channels, mixed
// with the program's console output, then "exit N" with its exit code.
// traceFile must not exist yet.
inline std::vector<std::string> trace(const std::wstring& channels, const std::wstring& program,
                                      const std::vector<std::wstring>& arguments, const std::wstring& traceFile) {
    const auto unixName = reinterpret_cast<char*(CDECL*)(const wchar_t*)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName ? unixName(traceFile.c_str()) : nullptr;
    if (!name) throw std::runtime_error("no Unix name for the trace file: not running under Wine?");
    std::vector<std::wstring> shellArguments{channels, program, wstr(name, CP_UTF8)};
    HeapFree(GetProcessHeap(), 0, name);
    shellArguments.insert(shellArguments.end(), arguments.begin(), arguments.end());
    // The shell is no Windows process, nothing to wait on: it renames the file once complete and we wait for the name.
    std::wstring line = LR"(sh -c "c=$1 p=$2 t=$3; shift 3; WINEDEBUG=$c wine \"$p\" \"$@\" >\"$t.part\" 2>&1; )"
                        LR"(echo exit $? >>\"$t.part\"; mv \"$t.part\" \"$t\"" )" +
                        test_process::commandLine(L"sh", shellArguments);
    const auto dosName = reinterpret_cast<wchar_t*(CDECL*)(const char*)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    wchar_t* shell = dosName("/bin/sh");
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION info{};
    const BOOL started =
        shell && CreateProcessW(shell, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info);
    const DWORD error = GetLastError();
    HeapFree(GetProcessHeap(), 0, shell);
    if (!started) throw test_process::osFailure("CreateProcessW(sh)", error);
    // Null for a Unix program; owned in case that ever changes.
    const RunTime::AutoHandle thread(info.hThread), process(info.hProcess);
    // A program that never ends is left running; the run's wineserver ends it.
    for (DWORD waited = 0; GetFileAttributesW(traceFile.c_str()) == INVALID_FILE_ATTRIBUTES; Sleep(50), waited += 50)
        if (waited >= 60000) throw std::runtime_error("the traced program did not end in time");
    std::vector<std::string> lines;
    std::istringstream text(test_support::readBytes(traceFile));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

}  // namespace test_wine
