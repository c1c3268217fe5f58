// A connected pair of pipe ends: the launcher makes one for every standard
// stream it redirects to a pipe. The server end reads and the client end writes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "exec/pipe.h"

namespace Con {

struct PipePair {
    std::unique_ptr<Pipe> server;  // reads
    std::unique_ptr<Pipe> client;  // writes
};

// Which end of an overlapped pair stays synchronous: the one a child gets,
// which reads or writes with plain calls, as most programs do. Windows gives
// such calls on a handle opened for overlapped use no reliable result.
enum class SynchronousEnd { None, Server, Client };

// "\\.\pipe\KorvoWin32.Pipes." and a random UUID, so that no other
// process can tell the next name from one it has seen ("UuidCreate").
std::wstring freshPipeName();

// A connected pair on a fresh name.
PipePair createPipePair(bool overlapped, SECURITY_ATTRIBUTES* security, std::uint32_t bufferSize,
                        SynchronousEnd synchronousEnd = SynchronousEnd::None);
// The launcher's form: no security descriptor, the system's buffer size.
PipePair createPipePair(bool inheritable, bool overlapped);

}  // namespace Con
