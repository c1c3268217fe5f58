// One end of a named pipe as a byte channel: synchronous, or overlapped
// (event-driven, cancellable, with a time limit per request). The launcher
// makes a connected pair for every standard stream it redirects to a pipe;
// the server end reads and the client end writes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/files.h"
#include "runtime/handle.h"

namespace Con {

class Pipe {
public:
    explicit Pipe(RunTime::FileHandle handle) noexcept : handle_(std::move(handle)) {}
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    virtual ~Pipe() = default;

    // The bytes transferred; 0 at the end of the channel (eof is then set)
    // or, overlapped, for a request that timed out or was cancelled. With
    // exact, fewer bytes than asked raise "Completed only %d of %d bytes".
    virtual std::uint32_t read(void* buffer, std::uint32_t size, bool exact);
    virtual std::uint32_t write(const void* buffer, std::uint32_t size, bool exact);
    // keepConnected leaves a server end's pipe connected for whoever holds a
    // duplicate of it (the launcher's child).
    virtual void close(bool keepConnected);
    // An end holding an inheritable duplicate of the handle.
    virtual std::unique_ptr<Pipe> clone() const;

    HANDLE handle() const noexcept { return handle_.get(); }
    bool eof() const noexcept { return eof_; }
    std::uint32_t pending() const noexcept { return pending_; }

protected:
    RunTime::FileHandle handle_;
    bool eof_ = false;
    std::uint32_t pending_ = 0;  // the size of the overlapped request under way
};

class ServerPipe : public Pipe {
public:
    using Pipe::Pipe;
    ~ServerPipe() override { close(false); }
    void close(bool keepConnected) override;
    // Waits for the client end to connect.
    void connect();
};

class ClientPipe : public Pipe {
public:
    using Pipe::Pipe;
    // Opens the client end of name, tried as often as PipeConnectTryCount
    // says (defaultTryCount when it is absent or 0).
    static RunTime::FileHandle create(const std::wstring& name, DWORD access, DWORD pipeMode,
                                      std::uint32_t defaultTryCount);
};

// The OVERLAPPED record of one end with the manual-reset event it owns.
class Overlapped {
public:
    Overlapped();  // the event starts signalled
    Overlapped(const Overlapped& other);  // its own duplicate of the event
    Overlapped& operator=(const Overlapped&) = delete;

    OVERLAPPED* record() noexcept { return &record_; }
    HANDLE event() const noexcept { return event_.get(); }
    void reset();

    bool idle = true;  // no request outstanding

private:
    OVERLAPPED record_{};
    RunTime::AutoHandle event_;
};

class OverlappedPipe : public Pipe {
public:
    explicit OverlappedPipe(RunTime::FileHandle handle) : Pipe(std::move(handle)) {}
    OverlappedPipe(RunTime::FileHandle handle, const Overlapped& overlapped)
        : Pipe(std::move(handle)), overlapped_(overlapped) {}
    ~OverlappedPipe() override { OverlappedPipe::close(true); }

    std::uint32_t read(void* buffer, std::uint32_t size, bool exact) override;
    std::uint32_t write(const void* buffer, std::uint32_t size, bool exact) override;
    // As above, but a request still under way after timeout ms is cancelled:
    // the count is then what it transferred, exact or not.
    std::uint32_t read(void* buffer, std::uint32_t size, bool exact, std::uint32_t timeout);
    std::uint32_t write(const void* buffer, std::uint32_t size, bool exact, std::uint32_t timeout);
    void close(bool keepConnected) override;
    // Idle: a request under way stays the original's.
    std::unique_ptr<Pipe> clone() const override;

    // Start a request: its count when it completed at once, else 0 (eof
    // tells the end of the channel from a request still under way).
    std::uint32_t beginRead(void* buffer, std::uint32_t size, bool exact);
    std::uint32_t beginWrite(const void* buffer, std::uint32_t size, bool exact);
    // Waits for the request under way, for cancelEvent (may be null) or
    // until timeout ms have passed. A request that did not complete in time
    // is cancelled; whatever it still transferred is counted.
    std::uint32_t complete(HANDLE cancelEvent, std::uint32_t timeout, bool exact);
    bool idle() const noexcept { return overlapped_.idle; }

protected:
    // Ends a request under way before its buffer and record can go away;
    // the bytes it still transferred.
    std::uint32_t cancelOutstanding() noexcept;
    Overlapped& overlappedRecord() noexcept { return overlapped_; }

private:
    std::uint32_t internalComplete(bool exact);

    Overlapped overlapped_;
};

class ServerOverlappedPipe : public OverlappedPipe {
public:
    using OverlappedPipe::OverlappedPipe;
    ~ServerOverlappedPipe() override { ServerOverlappedPipe::close(false); }
    void close(bool keepConnected) override;
    void connect();
};

class ClientOverlappedPipe : public OverlappedPipe {
public:
    using OverlappedPipe::OverlappedPipe;
    static RunTime::FileHandle create(const std::wstring& name, DWORD access, DWORD pipeMode,
                                      std::uint32_t defaultTryCount);
};

// The error an overlapped client reports when PipeConnectTryCount allows no
// attempt at all (a value of 0x80000000 or more reads as negative).
inline constexpr DWORD kNoConnectAttemptError = ERROR_BAD_CONFIGURATION;

struct PipePair {
    std::unique_ptr<Pipe> server;  // reads
    std::unique_ptr<Pipe> client;  // writes
};

// Which end of an overlapped pair stays synchronous: the one a child gets,
// which reads or writes with plain calls, as most programs do. Windows gives
// such calls on a handle opened for overlapped use no reliable result.
enum class SynchronousEnd { None, Server, Client };

// A connected pair on a fresh "\\.\pipe\KorvoWin32.Pipes.<uuid>" name.
PipePair createPipePair(bool overlapped, SECURITY_ATTRIBUTES* security, std::uint32_t bufferSize,
                        SynchronousEnd synchronousEnd = SynchronousEnd::None);
// The launcher's form: no security descriptor, the system's buffer size.
PipePair createPipePair(bool inheritable, bool overlapped);

}  // namespace Con
