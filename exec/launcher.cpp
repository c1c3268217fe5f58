#include "exec/launcher.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "errors/format.h"
#include "errors/vexception.h"
#include "exec/pipe_pair.h"
#include "exec/quoting.h"
#include "exec/winstation.h"
#include "runtime/access_token.h"
#include "runtime/files.h"
#include "threads/sync.h"
#include "tracing/driver.h"

namespace {

using RunTime::AutoHandle;

// Read before the console frame adds its own flag, at start-up: one call.
const UINT g_startErrorMode = GetErrorMode();
SRWLOCK g_errorModeLock = SRWLOCK_INIT;

// The child gets an inheritable duplicate of each stream file; the first
// handle, opened without inheritance, is closed right away.
HANDLE inheritableStream(AutoHandle& child, const std::wstring& path, bool forReading) {
    const RunTime::FileHandle opened =
        forReading ? RunTime::File::openForReading(path) : RunTime::File::openForWriting(path);
    child.duplicateHandle(opened.get(), true);
    return child.get();
}

// Makes the pair of one piped stream and keeps the parent's end in kept
// (replacing any earlier one); returns the child's end, an inheritable
// duplicate, always synchronous. Standard input is written by the parent, so
// the child reads from the server end; the output streams the other way round.
std::unique_ptr<Con::Pipe> pipeForChild(std::unique_ptr<Con::Pipe>& kept, bool childReads, bool overlapped,
                                        std::uint32_t bufferSize) {
    SECURITY_ATTRIBUTES notInherited{sizeof notInherited, nullptr, FALSE};
    Con::PipePair pair = Con::createPipePair(overlapped, &notInherited, bufferSize,
                                             childReads ? Con::SynchronousEnd::Server : Con::SynchronousEnd::Client);
    std::unique_ptr<Con::Pipe>& childSide = childReads ? pair.server : pair.client;
    std::unique_ptr<Con::Pipe> childEnd = childSide->clone();
    // The child's duplicate keeps the pipe connected.
    childSide->close(true);
    kept = std::move(childReads ? pair.client : pair.server);
    return childEnd;
}

// Restores the process's current directory when the start changed it. A
// directory that cannot be entered fails the start: the child would run
// somewhere else.
class CurrentDirectoryGuard {
public:
    explicit CurrentDirectoryGuard(const std::wstring& workingDirectory) {
        if (workingDirectory.empty()) return;
        previous_ = VDirectory::current();
        if (!SetCurrentDirectoryW(workingDirectory.c_str())) {
            throwLastOsError([&] { return L"SetCurrentDirectory '" + workingDirectory + L"'"; }, "vexecutil::start",
                             146);
        }
        changed_ = true;
    }
    ~CurrentDirectoryGuard() {
        if (changed_) SetCurrentDirectoryW(previous_.c_str());
    }
    CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
    CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;

private:
    std::wstring previous_;
    bool changed_ = false;
};

// The token to start the child under: the impersonated user's, when the
// calling thread impersonates someone whose Administrators standing differs
// from the process's; otherwise none (the process token is used).
AutoHandle impersonatedUserToken() {
    AutoHandle threadToken;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_DUPLICATE | TOKEN_QUERY | READ_CONTROL, FALSE,
                         threadToken.put())) {
        const DWORD error = GetLastError();
        if (error == ERROR_NO_TOKEN) return AutoHandle();
        throwOsError(L"Unable to open a thread token", error, raiseSite("vexecutil::start", 150));
    }
    AutoHandle processToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | READ_CONTROL, processToken.put()))
        throwLastOsError(L"Unable to open a process token", "vexecutil::start", 156);
    if (RunTime::Access::isTokenMember(threadToken.get()) == RunTime::Access::isTokenMember(processToken.get()))
        return AutoHandle();
    AutoHandle userToken;
    if (!DuplicateTokenEx(threadToken.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                          userToken.put()))
        throwLastOsError(L"Unable to duplicate impersonation token", "vexecutil::start", 160);
    return userToken;
}

// The attribute list that limits inheritance to the handles of a start-up
// record: each inheritable one, once. An empty list means nothing at all
// is to be inherited.
class InheritedHandles {
public:
    explicit InheritedHandles(const STARTUPINFOW& startup) {
        for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
            DWORD flags = 0;
            // The list may hold only inheritable handles, and none twice.
            if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetHandleInformation(handle, &flags) ||
                !(flags & HANDLE_FLAG_INHERIT) || std::find(handles_.begin(), handles_.end(), handle) != handles_.end())
                continue;
            handles_.push_back(handle);
        }
        if (handles_.empty()) return;
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        buffer_.resize(size);
        const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
            throwLastOsError(L"InitializeProcThreadAttributeList", "vexecutil::start", 170);
        list_ = list;
        if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                       handles_.size() * sizeof(HANDLE), nullptr, nullptr))
            throwLastOsError(L"UpdateProcThreadAttribute", "vexecutil::start", 174);
    }
    ~InheritedHandles() {
        if (list_) DeleteProcThreadAttributeList(list_);
    }
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;

    bool empty() const noexcept { return handles_.empty(); }
    LPPROC_THREAD_ATTRIBUTE_LIST list() const noexcept { return list_; }

private:
    std::vector<HANDLE> handles_;
    std::vector<unsigned char> buffer_;  // the list lives in it
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

StartErrorMode::StartErrorMode() noexcept {
    AcquireSRWLockExclusive(&g_errorModeLock);
    own_ = SetErrorMode(g_startErrorMode);
}

StartErrorMode::~StartErrorMode() {
    const DWORD error = GetLastError();
    SetErrorMode(own_);
    ReleaseSRWLockExclusive(&g_errorModeLock);
    SetLastError(error);
}

bool vexecutil::redirects() const {
    return useStdHandles || pipeStdin || pipeStdout || pipeStderr || !stdinFile.empty() || !stdoutFile.empty() ||
           !stderrFile.empty();
}

std::uint32_t vexecutil::creationFlags() const {
    // The child inherits the error mode the agent was started with (see
    // createInStartErrorMode), not the system's default, which would drop a
    // SEM_FAILCRITICALERRORS of the scheduler's.
    std::uint32_t flags = GetPriorityClass(GetCurrentProcess());
    if (noWindow) flags |= CREATE_NO_WINDOW;
    if (suspended) flags |= CREATE_SUSPENDED;
    if (breakawayFromJob) flags |= CREATE_BREAKAWAY_FROM_JOB;
    if (environment) flags |= CREATE_UNICODE_ENVIRONMENT;
    if (!redirects()) flags |= CREATE_NEW_CONSOLE;
    return flags;
}

void vexecutil::start() {
    commandLine_ = executable.empty() ? arguments : formatString(L"\"%s\" %s", executable, arguments);
    // No file name holds a quote, and one inside the quoted program path
    // would end it early: the rest of the path would become arguments of
    // whatever program the first part names. Refused as bad input before
    // anything is opened.
    if (executable.find(L'"') != std::wstring::npos)
        throw ArgumentException(formatString(L"The program path '%s' holds a double quote", executable),
                                raiseSite("vexecutil::start", 104));
    const bool redirect = redirects();
    // The child's ends of its pipes: inheritable duplicates, closed once the
    // child holds its own.
    std::unique_ptr<Con::Pipe> childInputPipe, childOutputPipe, childErrorPipe;
    if (pipeStdout) childOutputPipe = pipeForChild(stdoutPipe_, false, overlappedPipes, pipeBufferSize);
    if (pipeStdin) childInputPipe = pipeForChild(stdinPipe_, true, overlappedPipes, pipeBufferSize);
    if (pipeStderr) childErrorPipe = pipeForChild(stderrPipe_, false, overlappedPipes, pipeBufferSize);

    AutoHandle childInput, childOutput, childError;
    STARTUPINFOEXW extended{};
    STARTUPINFOW& startup = extended.StartupInfo;
    startup.cb = sizeof startup;
    if (!redirect) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    } else {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childInputPipe    ? childInputPipe->handle()
                            : stdinFile.empty() ? GetStdHandle(STD_INPUT_HANDLE)
                                                : inheritableStream(childInput, stdinFile, true);
        startup.hStdOutput = childOutputPipe    ? childOutputPipe->handle()
                             : stdoutFile.empty() ? GetStdHandle(STD_OUTPUT_HANDLE)
                                                  : inheritableStream(childOutput, stdoutFile, false);
        if (childErrorPipe) {
            startup.hStdError = childErrorPipe->handle();
        } else if (mergeStderr) {
            childError.duplicateHandle(startup.hStdOutput, true);
            startup.hStdError = childError.get();
        } else {
            startup.hStdError = stderrFile.empty() ? GetStdHandle(STD_ERROR_HANDLE)
                                                   : inheritableStream(childError, stderrFile, false);
        }
    }
    wchar_t desktop[] = L"winsta0\\default";
    startup.lpDesktop = inheritDesktop ? nullptr : desktop;

    std::optional<InheritedHandles> inherited;
    if (redirect && inheritOnlyStdHandles) inherited.emplace(startup);
    // With an explicit list, an empty one: nothing may be inherited at all.
    const bool inherit = redirect && !(inherited && inherited->empty());
    DWORD flags = creationFlags();
    if (inherit && inherited) {
        extended.lpAttributeList = inherited->list();
        startup.cb = sizeof extended;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }

    const CurrentDirectoryGuard directory(workingDirectory);
    const AutoHandle userToken = impersonatedUserToken();
    OpenTracingDriver::injectCurrentSpan();

    // A child under the user's token fails to start without access to the interactive station.
    if (userToken.valid()) RunTime::grantWinStationAccess(userToken.get(), L"winsta0", L"default");
    PROCESS_INFORMATION created{};
    std::vector<wchar_t> mutableLine;
    const auto create = [&] {
        // CreateProcess may write into the command line it is given.
        mutableLine.assign(commandLine_.begin(), commandLine_.end());
        mutableLine.push_back(L'\0');
        created = PROCESS_INFORMATION{};
        if (userToken.valid())
            return CreateProcessAsUserW(userToken.get(), nullptr, mutableLine.data(), nullptr, nullptr, inherit,
                                        flags, const_cast<wchar_t*>(environment), nullptr, &startup, &created);
        return CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, inherit, flags,
                              const_cast<wchar_t*>(environment), nullptr, &startup, &created);
    };
    if (!createInStartErrorMode(create)) {
        const DWORD error = GetLastError();
        const bool asUser = userToken.valid();
        // The text reaches the log, the event log and the error report: its
        // arguments are masked like every other command line shown.
        throwOsError((asUser ? L"CreateProcessAsUser '" : L"CreateProcess '") + maskSecrets(commandLine_) + L"'", error,
                     raiseSite("vexecutil::start", asUser ? 183 : 198));
    }
    process_.reset(created.hProcess);
    thread_.reset(created.hThread);
    processId_ = created.dwProcessId;
    threadId_ = created.dwThreadId;
}

bool vexecutil::waitForExit(std::uint32_t timeout) {
    // The wait raises its own failure and waits on after an APC: what comes
    // back is signalled, abandoned or timed out.
    return VSyncObject::waitForSingleObject(process_.get(), timeout) != WAIT_TIMEOUT;
}

std::uint32_t vexecutil::exitCode() {
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code))
        throwLastOsError(L"GetExitCodeProcess", "vexecutil::exitCode", 237);
    return code;
}

void vexecutil::resume() {
    if (ResumeThread(thread_.get()) == static_cast<DWORD>(-1))
        throwLastOsError(L"ResumeThread", "vexecutil::resume", 243);
}

void vexecutil::terminate(std::uint32_t exitCode) {
    if (!process_.get()) return;
    if (!TerminateProcess(process_.get(), exitCode))
        throwLastOsError(L"Terminate process", "vexecutil::terminate", 230);
}
