// Wine's own trace of the system calls a program makes, for what only the
// implementation shows: its event log, for one, stores nothing, but traces
// every report. Wine prints the trace on the Unix standard error, which no
// Windows handle reaches, so a Unix shell started through Wine runs the
// program and keeps that output in a file. The trace's layout is Wine 8's.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/text.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"

namespace test_wine {

// The Unix name Wine gives a Windows path.
inline std::string unixPath(const std::wstring& path) {
    using Convert = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert) throw std::runtime_error("not running under Wine");
    char* name = convert(path.c_str());
    if (!name) throw std::runtime_error("no Unix name for a path");
    std::string result(name);
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// The lines Wine prints while program runs with WINEDEBUG=channels, then
// "exit N" with its exit code. traceFile must not exist yet.
inline std::vector<std::string> trace(const std::wstring& channels, const std::wstring& program,
                                      const std::vector<std::wstring>& arguments, const std::wstring& traceFile,
                                      DWORD timeoutMs = 60000) {
    // The shell is no Windows process: nothing to wait on, so it renames the
    // file once complete and we wait for the name.
    const std::wstring script =
        LR"(c=$1 p=$2 t=$3; shift 3; WINEDEBUG=$c wine \"$p\" \"$@\" 2>\"$t.part\"; )"
        LR"(echo exit $? >>\"$t.part\"; mv \"$t.part\" \"$t\")";
    std::vector<std::wstring> shellArguments{channels, program, wstr(unixPath(traceFile), CP_UTF8)};
    shellArguments.insert(shellArguments.end(), arguments.begin(), arguments.end());
    std::wstring line = L"sh -c \"" + script + L"\" " + test_process::commandLine(L"sh", shellArguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        throw test_process::osFailure("CreateProcessW(sh)");
    // Null for a Unix program; closed in case that ever changes.
    if (info.hThread) CloseHandle(info.hThread);
    if (info.hProcess) CloseHandle(info.hProcess);
    // A program that never ends is left running; the run's wineserver ends it.
    for (DWORD waited = 0; GetFileAttributesW(traceFile.c_str()) == INVALID_FILE_ATTRIBUTES; waited += 50) {
        if (waited >= timeoutMs) throw std::runtime_error("the traced program did not end in time");
        Sleep(50);
    }
    std::vector<std::string> lines;
    std::string text = test_support::readBytes(traceFile);
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

}  // namespace test_wine
