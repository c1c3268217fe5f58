// The steps both kinds of pipe end share (exec/pipe.cpp, which defines
// them, and exec/overlapped_pipe.cpp). Only the pipe sources include this.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "runtime/files.h"

namespace Con {

namespace detail {

// The other end has gone: not an error, the channel just ends.
bool endOfChannel(DWORD error) noexcept;

// What one direction of a transfer raises, and where.
struct Transfer {
    const wchar_t* failure;
    const char* function;
    std::int32_t failureLine;
    std::int32_t shortLine;
};

void checkExact(bool exact, DWORD done, std::uint32_t asked, const char* function, std::int32_t line);

// Flushes a server end that writes, then disconnects it.
void flushAndDisconnect(HANDLE server, bool writes) noexcept;

// An inheritable duplicate, or none for an end that holds no handle.
RunTime::FileHandle inheritableCopy(const RunTime::FileHandle& handle);

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

// The error an overlapped client reports when PipeConnectTryCount allows no
// attempt at all (a value of 0x80000000 or more reads as negative).
inline constexpr DWORD kNoConnectAttemptError = ERROR_BAD_CONFIGURATION;

// The client end of name, tried as often as PipeConnectTryCount says.
RunTime::FileHandle openClient(const ClientFlavour& flavour, const std::wstring& name, DWORD access,
                               DWORD pipeMode, std::uint32_t defaultTryCount);

}  // namespace detail

}  // namespace Con
