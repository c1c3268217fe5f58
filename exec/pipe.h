// One end of a named pipe as a synchronous byte channel; the server end
// reads and the client end writes.
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
    // writes: made outbound or duplex, so that closing first waits until
    // the client has read what this end wrote.
    ServerPipe(RunTime::FileHandle handle, bool writes) noexcept : Pipe(std::move(handle)), writes_(writes) {}
    ~ServerPipe() override { close(false); }
    void close(bool keepConnected) override;
    // Waits for the client end to connect.
    void connect();

private:
    bool writes_;
};

class ClientPipe : public Pipe {
public:
    using Pipe::Pipe;
    // Opens the client end of name, tried as often as PipeConnectTryCount
    // says (defaultTryCount when it is absent or 0).
    static RunTime::FileHandle create(const std::wstring& name, DWORD access, DWORD pipeMode,
                                      std::uint32_t defaultTryCount);
};

}  // namespace Con
