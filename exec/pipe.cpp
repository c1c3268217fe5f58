#include "exec/pipe.h"

#include "errors/format.h"
#include "errors/vexception.h"
#include "exec/pipe_steps.h"
#include "runtime/registry.h"
#include "threads/cancelation.h"
#include "threads/sync.h"

namespace Con {

using namespace detail;

namespace {

constexpr Transfer kSyncRead{L"Unable to read from pipe", "Con::Pipe::read", 88, 92};
constexpr Transfer kSyncWrite{L"Unable to write to pipe", "Con::Pipe::write", 110, 114};

}  // namespace

namespace detail {

bool endOfChannel(DWORD error) noexcept {
    return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA;
}

void checkExact(bool exact, DWORD done, std::uint32_t asked, const char* function, std::int32_t line) {
    if (exact && done != asked)
        throw vexception(formatString(L"Completed only %d of %d bytes", static_cast<int>(done), static_cast<int>(asked)),
                         raiseSite(function, line));
}

void flushAndDisconnect(HANDLE server, bool writes) noexcept {
    if (!RunTime::HandleTraits::valid(server)) return;
    // Flushing waits until the client has read what this end wrote; an end
    // that only reads has nothing to wait for, and the call would fail.
    if (writes) FlushFileBuffers(server);
    DisconnectNamedPipe(server);
}

RunTime::FileHandle inheritableCopy(const RunTime::FileHandle& handle) {
    if (!handle.valid()) return RunTime::FileHandle();
    return RunTime::FileHandle(RunTime::duplicateHandle(handle.get(), true, "Con::Pipe::Pipe", 39).release());
}

RunTime::FileHandle openClient(const ClientFlavour& flavour, const std::wstring& name, DWORD access,
                               DWORD pipeMode, std::uint32_t defaultTryCount) {
    const std::wstring failure = L"Unable to connect to pipe " + name;
    // Compared as signed: 0x80000000 and above allow no attempt.
    const auto attempts = static_cast<std::int32_t>(registry::pipeConnectTryCount(defaultTryCount));
    RunTime::FileHandle client;
    DWORD lastError = kNoConnectAttemptError;
    for (std::int32_t attempt = 1; attempt <= attempts; ++attempt) {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Synchronous);
        client.reset(CreateFileW(name.c_str(), access, 0, nullptr, OPEN_EXISTING, flavour.flags, nullptr));
        if (client.valid()) break;
        lastError = GetLastError();
        const bool last = attempt == attempts;
        if (lastError == ERROR_FILE_NOT_FOUND && flavour.retryMissing) {
            if (!last) cancellableSleep(500);
        } else if (lastError == ERROR_PIPE_BUSY) {
            if (!last && !WaitNamedPipeW(name.c_str(), 1000)) cancellableSleep(50);
        } else {
            throwOsError(failure, lastError, raiseSite(flavour.function, flavour.failedLine));
        }
    }
    if (!client.valid()) {
        if (flavour.retryMissing) throwOsError(failure, lastError, raiseSite(flavour.function, flavour.exhaustedLine));
        throw vexception(failure, raiseSite(flavour.function, flavour.exhaustedLine));
    }
    if (!SetNamedPipeHandleState(client.get(), &pipeMode, nullptr, nullptr)) {
        throwLastOsError([&] { return L"Unable to set mode of pipe " + name; }, flavour.function, flavour.modeLine);
    }
    return client;
}

}  // namespace detail

// --- Pipe: synchronous transfers -------------------------------------------

namespace {
template <class Call>
std::uint32_t transfer(RunTime::FileHandle& handle, bool& eof, const Transfer& what, std::uint32_t size, bool exact,
                       Call call) {
    if (eof) return 0;
    DWORD done = 0;
    if (!call(handle.get(), &done)) {
        const DWORD error = GetLastError();
        if (!endOfChannel(error)) throwOsError(what.failure, error, raiseSite(what.function, what.failureLine));
        eof = true;
        return 0;
    }
    checkExact(exact, done, size, what.function, what.shortLine);
    return done;
}
}  // namespace

std::uint32_t Pipe::read(void* buffer, std::uint32_t size, bool exact) {
    return transfer(handle_, eof_, kSyncRead, size, exact,
                    [&](HANDLE h, DWORD* done) { return ReadFile(h, buffer, size, done, nullptr); });
}

std::uint32_t Pipe::write(const void* buffer, std::uint32_t size, bool exact) {
    return transfer(handle_, eof_, kSyncWrite, size, exact,
                    [&](HANDLE h, DWORD* done) { return WriteFile(h, buffer, size, done, nullptr); });
}

void Pipe::close(bool) {
    handle_.reset();
    eof_ = true;
}

std::unique_ptr<Pipe> Pipe::clone() const {
    auto copy = std::make_unique<Pipe>(inheritableCopy(handle_));
    copy->eof_ = eof_;
    copy->pending_ = pending_;
    return copy;
}

void ServerPipe::close(bool keepConnected) {
    if (!keepConnected) flushAndDisconnect(handle_.get(), writes_);
    Pipe::close(keepConnected);
}

void ServerPipe::connect() {
    if (ConnectNamedPipe(handle_.get(), nullptr)) return;
    const DWORD error = GetLastError();
    if (error != ERROR_PIPE_CONNECTED)
        throwOsError(L"Unable to connect to pipe", error, raiseSite("Con::ServerPipe::connect", 157));
}

RunTime::FileHandle ClientPipe::create(const std::wstring& name, DWORD access, DWORD pipeMode,
                                       std::uint32_t defaultTryCount) {
    static constexpr ClientFlavour kSynchronous{"Con::ClientPipe::create", 0, false, 189, 195, 199};
    return openClient(kSynchronous, name, access, pipeMode, defaultTryCount);
}

}  // namespace Con
