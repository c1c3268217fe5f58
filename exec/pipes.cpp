#include "exec/pipes.h"

#include <winternl.h>

#include "errors/format.h"
#include "errors/vexception.h"
#include "runtime/datetime.h"
#include "runtime/library.h"
#include "runtime/registry.h"
#include "threads/cancelation.h"
#include "threads/sync.h"

namespace Con {

namespace {

// The other end has gone: not an error, the channel just ends.
bool endOfChannel(DWORD error) noexcept {
    return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA;
}

// What one direction of a transfer raises, and where.
struct Transfer {
    const wchar_t* failure;
    const char* function;
    std::int32_t failureLine;
    std::int32_t shortLine;
};
constexpr Transfer kSyncRead{L"Unable to read from pipe", "Con::Pipe::read", 88, 92};
constexpr Transfer kSyncWrite{L"Unable to write to pipe", "Con::Pipe::write", 110, 114};
constexpr Transfer kBeginRead{L"Unable to read from pipe", "Con::OverlappedPipe::beginRead", 314, 0};
constexpr Transfer kBeginWrite{L"Unable to write to pipe", "Con::OverlappedPipe::beginWrite", 358, 0};

void checkExact(bool exact, DWORD done, std::uint32_t asked, const char* function, std::int32_t line) {
    if (exact && done != asked)
        throw vexception(formatString(L"Completed only %d of %d bytes", static_cast<int>(done), static_cast<int>(asked)),
                         raiseSite(function, line));
}

// Whether handle may have been opened with the right to write: true unless
// the system says otherwise. ntdll is bound, not imported; every process has it.
bool canWrite(HANDLE handle) noexcept {
    using Query = NTSTATUS NTAPI(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    static Query* const query = RunTime::systemFunction<Query>(L"ntdll.dll", "NtQueryObject");
    PUBLIC_OBJECT_BASIC_INFORMATION information{};
    if (!query || query(handle, ObjectBasicInformation, &information, sizeof information, nullptr) < 0) return true;
    return (information.GrantedAccess & FILE_WRITE_DATA) != 0;
}

void flushAndDisconnect(HANDLE server) noexcept {
    if (!RunTime::HandleTraits::valid(server)) return;
    // Flushing waits until the client has read what this end wrote; an end
    // that can only read has nothing to wait for, and the call would fail.
    if (canWrite(server)) FlushFileBuffers(server);
    DisconnectNamedPipe(server);
}

// An inheritable duplicate, or none for an end that holds no handle.
RunTime::FileHandle inheritableCopy(const RunTime::FileHandle& handle) {
    if (!handle.valid()) return RunTime::FileHandle();
    return RunTime::FileHandle(RunTime::duplicateHandle(handle.get(), true, "Con::Pipe::Pipe", 39).release());
}

std::wstring freshPipeName() { return L"\\\\.\\pipe\\KorvoWin32.Pipes." + RunTime::uniqueName(false); }

RunTime::FileHandle createServer(const std::wstring& name, DWORD openMode, SECURITY_ATTRIBUTES* security,
                                 std::uint32_t bufferSize, const char* function, std::int32_t line) {
    RunTime::FileHandle server(CreateNamedPipeW(name.c_str(), openMode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                                1, bufferSize, bufferSize, 0, security));
    if (!server.valid()) {
        throwLastOsError([&] { return L"Unable to create pipe " + name; }, function, line);
    }
    return server;
}

// The flavours differ in their flags, in what a missing pipe means, and in
// how running out of attempts is raised.
struct ClientFlavour {
    const char* function;
    DWORD flags;
    bool retryMissing;      // a missing pipe may still be created by its server
    std::int32_t failedLine;
    std::int32_t exhaustedLine;
    std::int32_t modeLine;
};

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

}  // namespace

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
    if (!keepConnected) flushAndDisconnect(handle_.get());
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

// --- Overlapped ------------------------------------------------------------

Overlapped::Overlapped() {
    event_.reset(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    if (!event_.valid()) throwLastOsError(L"Unable to create event", "Con::Overlapped::Overlapped", 211);
    record_.hEvent = event_.get();
}

Overlapped::Overlapped(const Overlapped& other)
    : idle(other.idle),
      record_(other.record_),
      event_(RunTime::duplicateHandle(other.event_.get(), false, "Con::Overlapped::Overlapped", 221)) {
    record_.hEvent = event_.get();
}

void Overlapped::reset() {
    if (!ResetEvent(event_.get())) throwLastOsError(L"Unable to reset event", "Con::Overlapped::resert", 254);
}

// --- OverlappedPipe --------------------------------------------------------

std::uint32_t OverlappedPipe::read(void* buffer, std::uint32_t size, bool exact) {
    return read(buffer, size, exact, INFINITE);
}

std::uint32_t OverlappedPipe::write(const void* buffer, std::uint32_t size, bool exact) {
    return write(buffer, size, exact, INFINITE);
}

std::uint32_t OverlappedPipe::read(void* buffer, std::uint32_t size, bool exact, std::uint32_t timeout) {
    const std::uint32_t done = beginRead(buffer, size, exact);
    if (!overlapped_.idle && !eof_) return complete(nullptr, timeout, exact);
    return done;
}

std::uint32_t OverlappedPipe::write(const void* buffer, std::uint32_t size, bool exact, std::uint32_t timeout) {
    const std::uint32_t done = beginWrite(buffer, size, exact);
    if (!overlapped_.idle && !eof_) return complete(nullptr, timeout, exact);
    return done;
}

namespace {
// Starts a request; true when it completed at once and only its result is
// left to collect.
template <class Call>
bool begin(Overlapped& overlapped, bool& eof, std::uint32_t& pending, const Transfer& what, std::int32_t busyLine,
           std::uint32_t size, Call call) {
    if (!overlapped.idle) throw vexception(L"Previous request has not completed!", raiseSite(what.function, busyLine));
    if (eof) return false;
    overlapped.reset();
    overlapped.idle = true;
    pending = size;
    if (call(overlapped.record())) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        overlapped.idle = false;
    } else if (endOfChannel(error)) {
        eof = true;
        pending = 0;
    } else {
        throwOsError(what.failure, error, raiseSite(what.function, what.failureLine));
    }
    return false;
}
}  // namespace

std::uint32_t OverlappedPipe::beginRead(void* buffer, std::uint32_t size, bool exact) {
    const bool atOnce = begin(overlapped_, eof_, pending_, kBeginRead, 293, size, [&](OVERLAPPED* record) {
        return ReadFile(handle_.get(), buffer, size, nullptr, record);
    });
    return atOnce ? internalComplete(exact) : 0;
}

std::uint32_t OverlappedPipe::beginWrite(const void* buffer, std::uint32_t size, bool exact) {
    const bool atOnce = begin(overlapped_, eof_, pending_, kBeginWrite, 337, size, [&](OVERLAPPED* record) {
        return WriteFile(handle_.get(), buffer, size, nullptr, record);
    });
    return atOnce ? internalComplete(exact) : 0;
}

std::uint32_t OverlappedPipe::complete(HANDLE cancelEvent, std::uint32_t timeout, bool exact) {
    static constexpr char kFunction[] = "Con::OverlappedPipe::complete";
    if (overlapped_.idle) throw vexception(L"Previous request has completed!", raiseSite(kFunction, 401));
    const HANDLE handles[2] = {overlapped_.event(), cancelEvent};
    const std::uint32_t result = VSyncObject::waitForMultipleObjects(cancelEvent ? 2 : 1, handles, false, timeout);
    switch (result) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED_0:
            return internalComplete(exact);
        case WAIT_OBJECT_0 + 1:
        case WAIT_ABANDONED_0 + 1:
        case WAIT_TIMEOUT:
            return cancelOutstanding();
        case WAIT_FAILED:
            throwLastOsError(L"Unable to complete pipe operation", kFunction, 417);
        default:
            throw vexception(formatString(L"Unable to complete pipe operation: Unknown state %X", result),
                             raiseSite(kFunction, 419));
    }
}

std::uint32_t OverlappedPipe::internalComplete(bool exact) {
    static constexpr char kFunction[] = "Con::OverlappedPipe::internalComplete";
    DWORD done = 0;
    const bool succeeded = GetOverlappedResult(handle_.get(), overlapped_.record(), &done, TRUE);
    const DWORD error = succeeded ? ERROR_SUCCESS : GetLastError();
    const std::uint32_t asked = pending_;
    overlapped_.idle = true;
    pending_ = 0;
    if (!succeeded) {
        if (!endOfChannel(error)) throwOsError(L"Unable to complete pipe operation", error, raiseSite(kFunction, 386));
        eof_ = true;
    }
    checkExact(exact, done, asked, kFunction, 392);
    return done;
}

std::uint32_t OverlappedPipe::cancelOutstanding() noexcept {
    if (overlapped_.idle || !handle_.valid()) return 0;
    // The system writes into the record until the request has ended, so it
    // is waited for; a request that finished meanwhile keeps its count.
    CancelIoEx(handle_.get(), overlapped_.record());
    DWORD done = 0;
    GetOverlappedResult(handle_.get(), overlapped_.record(), &done, TRUE);
    overlapped_.idle = true;
    pending_ = 0;
    return done;
}

void OverlappedPipe::close(bool keepConnected) {
    cancelOutstanding();
    Pipe::close(keepConnected);
    overlapped_.idle = true;
}

std::unique_ptr<Pipe> OverlappedPipe::clone() const {
    auto copy = std::make_unique<OverlappedPipe>(inheritableCopy(handle_), overlapped_);
    copy->eof_ = eof_;
    // A request under way is the original's: the copy must neither complete
    // nor wait for it, so it starts idle.
    copy->overlapped_.idle = true;
    return copy;
}

void ServerOverlappedPipe::close(bool keepConnected) {
    cancelOutstanding();
    if (!keepConnected) flushAndDisconnect(handle_.get());
    OverlappedPipe::close(keepConnected);
}

void ServerOverlappedPipe::connect() {
    static constexpr char kFunction[] = "Con::ServerOverlappedPipe::connect";
    static constexpr wchar_t kWaitFailed[] = L"Unable to wait while pipe has been connected";
    Overlapped& overlapped = overlappedRecord();
    overlapped.reset();
    if (ConnectNamedPipe(handle_.get(), overlapped.record())) return;
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return;
    if (error != ERROR_IO_PENDING) throwOsError(L"Unable to connect to pipe", error, raiseSite(kFunction, 472));
    // Until it ends, the request writes into the record: closing the end must cancel it.
    overlapped.idle = false;
    const HANDLE event = overlapped.event();
    // The form that reports a failed wait rather than raising it, so that it is raised as this step's own.
    const std::uint32_t result = VSyncObject::waitForMultipleObjects(1, &event, false, INFINITE);
    if (result == WAIT_FAILED) throwLastOsError(kWaitFailed, kFunction, 467);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        overlapped.idle = true;
        return;
    }
    if (result == WAIT_TIMEOUT) throwOsError(kWaitFailed, ERROR_TIMEOUT, raiseSite(kFunction, 465));
    throw vexception(formatString(L"%s: Unknown state %X", kWaitFailed, result), raiseSite(kFunction, 469));
}

RunTime::FileHandle ClientOverlappedPipe::create(const std::wstring& name, DWORD access, DWORD pipeMode,
                                                 std::uint32_t defaultTryCount) {
    static constexpr ClientFlavour kOverlapped{"Con::ClientOverlappedPipe::create", FILE_FLAG_OVERLAPPED, true,
                                               514, 518, 523};
    return openClient(kOverlapped, name, access, pipeMode, defaultTryCount);
}

// --- Pairs -----------------------------------------------------------------

PipePair createPipePair(bool overlapped, SECURITY_ATTRIBUTES* security, std::uint32_t bufferSize,
                        SynchronousEnd synchronousEnd) {
    const std::wstring name = freshPipeName();
    // The client connects before the server waits for it, so either server
    // kind finds it connected whatever the client's kind.
    const auto connectClient = [&](PipePair& pair) {
        if (overlapped && synchronousEnd != SynchronousEnd::Client)
            pair.client = std::make_unique<ClientOverlappedPipe>(ClientOverlappedPipe::create(name, GENERIC_WRITE, 0, 1));
        else
            pair.client = std::make_unique<ClientPipe>(ClientPipe::create(name, GENERIC_WRITE, 0, 1));
    };
    PipePair pair;
    if (overlapped && synchronousEnd != SynchronousEnd::Server) {
        auto server = std::make_unique<ServerOverlappedPipe>(
            createServer(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, security, bufferSize,
                         "Con::ServerOverlappedPipe::create", 444));
        connectClient(pair);
        server->connect();
        pair.server = std::move(server);
    } else {
        auto server = std::make_unique<ServerPipe>(
            createServer(name, PIPE_ACCESS_INBOUND, security, bufferSize, "Con::ServerPipe::create", 145));
        connectClient(pair);
        server->connect();
        pair.server = std::move(server);
    }
    return pair;
}

PipePair createPipePair(bool inheritable, bool overlapped) {
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, inheritable};
    return createPipePair(overlapped, &security, 0);
}

}  // namespace Con
