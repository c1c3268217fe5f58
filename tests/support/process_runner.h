// Starts one of our own programs with standard output and standard error on one pipe, through our launcher, and
// collects everything it writes, plus its exit code.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <cwchar>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "exec/launcher.h"
#include "exec/quoting.h"
#include "runtime/datetime.h"
#include "runtime/handle.h"
#include "runtime/paths.h"

namespace test_process {

inline std::runtime_error osFailure(const char* operation, DWORD error = GetLastError()) {
    return std::runtime_error(std::string(operation) + " failed with error " + std::to_string(error));
}

// fileName in the directory of the running test program.
inline std::wstring siblingPath(const std::wstring& fileName) {
    const std::wstring path = RunTime::executablePath();
    if (path.empty()) throw osFailure("GetModuleFileNameW");
    return path.substr(0, path.find_last_of(L"\\/") + 1) + fileName;
}

// The program always quoted, as run() expects; each argument by our own quoting, so that it reads back whole.
inline std::wstring commandLine(const std::wstring& program, const std::vector<std::wstring>& arguments) {
    std::wstring line = L"\"" + program + L"\"";
    for (const std::wstring& argument : arguments) line += L" " + quoteArgument(argument);
    return line;
}

struct ProcessResult {
    DWORD exitCode = 0;
    std::string output;  // the raw bytes of standard output and standard error
    long outputEndMs = 0;  // when the output ended (every holder of the pipe gone), from the process's end
};

// line's first token is program. environment: name=value strings, each ended by a zero (the block ends with one more),
// or empty for ours; currentDirectory: empty keeps ours. Through our own launcher, so that every test that runs a
// program also runs its output pipe and merged error.
// job: one the program runs in from its start, or null. beforeStart: called with the program's process id before it runs.
inline ProcessResult run(const std::wstring& program, const std::wstring& line, DWORD timeoutMs = 60000,
                         const std::wstring& environment = std::wstring(),
                         const std::wstring& currentDirectory = std::wstring(), HANDLE job = nullptr,
                         const std::function<void(DWORD)>& beforeStart = {}) {
    if (line.compare(0, program.size() + 1, L"\"" + program) != 0) throw std::invalid_argument("line without program");
    const std::wstring block = environment.empty() ? environment : environment + L'\0';
    vexecutil child;
    child.arguments = line;
    child.environment = block.empty() ? nullptr : block.c_str();
    child.workingDirectory = currentDirectory;
    child.noWindow = child.inheritDesktop = child.pipeStdout = child.mergeStderr = true;
    child.overlappedPipes = false;
    child.suspended = job || beforeStart;
    child.start();
    if (job && !AssignProcessToJobObject(job, child.processHandle())) throw osFailure("AssignProcessToJobObject");
    if (beforeStart) beforeStart(child.processId());
    if (child.suspended) child.resume();
    ProcessResult result;
    DWORD outputEnd = 0;
    std::thread drain([&] {
        char buffer[4096];
        while (!child.stdoutPipe()->eof()) result.output.append(buffer, child.stdoutPipe()->read(buffer, 4096, false));
        outputEnd = GetTickCount();
    });
    const bool ended = child.waitForExit(timeoutMs);
    const DWORD end = GetTickCount();
    if (!ended) child.terminate(0xDEAD);
    drain.join();
    result.outputEndMs = static_cast<long>(outputEnd - end);
    if (!ended) throw std::runtime_error("the child did not end in time");
    result.exitCode = child.exitCode();
    return result;
}

// An environment block for run(): ours without RD_* variables, plus the task's (a value equal to skip is left out).
inline std::wstring taskEnvironment(const std::map<std::wstring, std::wstring>& task, const std::wstring& skip = L"") {
    std::wstring block;
    wchar_t* own = GetEnvironmentStringsW();
    for (const wchar_t* entry = own; *entry; entry += wcslen(entry) + 1)
        if (_wcsnicmp(entry, L"RD_", 3) != 0) block += std::wstring(entry) + L'\0';
    FreeEnvironmentStringsW(own);
    for (const auto& [name, value] : task)
        if (skip.empty() || value != skip) block += name + L"=" + value + L'\0';
    return block;
}

// rdchild holding the named mutex name from construction until it is ended (then the mutex is abandoned).
class MutexHolder {
public:
    explicit MutexHolder(const std::wstring& name) {
        const std::wstring event = L"rdtest-ready-" + RunTime::uniqueName(true);
        const RunTime::AutoHandle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
        process.executable = siblingPath(L"rdchild.exe");
        process.arguments = L"hold " + name + L" " + event + L" sleep 60000";
        process.noWindow = process.inheritDesktop = true;
        process.start();
        const HANDLE both[] = {ready.get(), process.processHandle()};
        if (WaitForMultipleObjects(2, both, FALSE, 30000) != WAIT_OBJECT_0)
            throw std::runtime_error("the holder did not take the mutex");
    }
    MutexHolder(const MutexHolder&) = delete;
    MutexHolder& operator=(const MutexHolder&) = delete;
    ~MutexHolder() {
        try {
            end();
        } catch (...) {
        }
    }
    void end() {
        if (process.waitForExit(0)) return;
        process.terminate(0);
        process.waitForExit(30000);
    }

    vexecutil process;
};

// A name for rdchild's "name" action, unique in this test program.
inline std::wstring treeName(const std::wstring& tag) {
    static LONG count = 0;
    return L"rdtree-" + std::to_wstring(GetCurrentProcessId()) + L"-" + tag + std::to_wstring(++count);
}

// Waits up to ms for the named event to be held by some process (held) or by
// none, true when it came to that: processes take a moment to start and end.
inline bool nameComesTo(const std::wstring& name, bool held, DWORD ms) {
    for (const DWORD start = GetTickCount();; Sleep(20)) {
        if (RunTime::AutoHandle(OpenEventW(SYNCHRONIZE, FALSE, name.c_str())).valid() == held) return true;
        if (GetTickCount() - start >= ms) return false;
    }
}

// Ends every process whose "spawned PID" line is in text (rdchild's spawn).
inline void endSpawned(const std::string& text) {
    for (std::size_t at = text.find("spawned "); at != std::string::npos; at = text.find("spawned ", at + 1))
        TerminateProcess(
            RunTime::AutoHandle(OpenProcess(PROCESS_TERMINATE, FALSE, std::stoul(text.substr(at + 8)))).get(), 0);
}

// The lower-case file names of the DLLs program loads while it runs line with environment (a block as run() takes) in
// directory. As its debugger: the system reports every load, under Wine and Windows alike, as the mapped file.
inline std::set<std::wstring> loadedDlls(const std::wstring& program, std::wstring line, std::wstring environment,
                                         const std::wstring& directory) {
    STARTUPINFOW startup{sizeof startup};
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                        environment.append(1, L'\0').data(), directory.c_str(), &startup, &info))
        throw osFailure("CreateProcessW");
    const RunTime::AutoHandle process(info.hProcess), thread(info.hThread);
    std::set<std::wstring> names;
    wchar_t mapped[1024];
    for (DEBUG_EVENT event{}; event.dwDebugEventCode != EXIT_PROCESS_DEBUG_EVENT;) {
        if (!WaitForDebugEvent(&event, 60000)) throw osFailure("WaitForDebugEvent");
        if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) CloseHandle(event.u.CreateProcessInfo.hFile);
        if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
            CloseHandle(event.u.LoadDll.hFile);
            if (!GetMappedFileNameW(process.get(), event.u.LoadDll.lpBaseOfDll, mapped, 1024))
                throw osFailure("GetMappedFileNameW");
            names.insert(_wcslwr(wcsrchr(mapped, L'\\') + 1));  // a device path: a backslash comes first
        }
        // The loader's breakpoint is ours; the program's own exceptions go back to it.
        const bool own = event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
                         event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT;
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, own ? DBG_EXCEPTION_NOT_HANDLED : DBG_CONTINUE);
    }
    return names;
}

}  // namespace test_process
