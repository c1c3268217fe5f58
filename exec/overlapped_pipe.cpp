#include "exec/overlapped_pipe.h"

#include "errors/format.h"
#include "errors/vexception.h"
#include "exec/pipe_steps.h"
#include "threads/sync.h"

namespace Con {

using namespace detail;

namespace {

constexpr Transfer kBeginRead{L"Unable to read from pipe", "Con::OverlappedPipe::beginRead", 314, 0};
constexpr Transfer kBeginWrite{L"Unable to write to pipe", "Con::OverlappedPipe::beginWrite", 358, 0};

}  // namespace

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
    if (!keepConnected) flushAndDisconnect(handle_.get(), writes_);
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

}  // namespace Con
