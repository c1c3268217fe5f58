// One end of a named pipe as an overlapped byte channel: event-driven,
// cancellable, with a time limit per request.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "exec/pipe.h"
#include "runtime/files.h"
#include "runtime/handle.h"

namespace Con {

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
    // writes: as for ServerPipe.
    ServerOverlappedPipe(RunTime::FileHandle handle, bool writes)
        : OverlappedPipe(std::move(handle)), writes_(writes) {}
    ~ServerOverlappedPipe() override { ServerOverlappedPipe::close(false); }
    void close(bool keepConnected) override;
    void connect();

private:
    bool writes_;
};

class ClientOverlappedPipe : public OverlappedPipe {
public:
    using OverlappedPipe::OverlappedPipe;
    static RunTime::FileHandle create(const std::wstring& name, DWORD access, DWORD pipeMode,
                                      std::uint32_t defaultTryCount);
};

}  // namespace Con
