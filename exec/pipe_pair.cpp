#include "exec/pipe_pair.h"

#include "errors/vexception.h"
#include "exec/overlapped_pipe.h"
#include "runtime/datetime.h"

namespace Con {

std::wstring freshPipeName() { return L"\\\\.\\pipe\\KorvoWin32.Pipes." + RunTime::uniqueName(true); }

namespace {

// Inbound: the server end reads, so closing it has nothing to flush.
constexpr bool kServerWrites = false;

// A client on another machine is refused before any access check
// ("CreateNamedPipeW function"): only the launching process connects.
constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

RunTime::FileHandle createServer(const std::wstring& name, DWORD openMode, SECURITY_ATTRIBUTES* security,
                                 std::uint32_t bufferSize, const char* function, std::int32_t line) {
    RunTime::FileHandle server(
        CreateNamedPipeW(name.c_str(), openMode, kPipeMode, 1, bufferSize, bufferSize, 0, security));
    if (!server.valid()) {
        throwLastOsError([&] { return L"Unable to create pipe " + name; }, function, line);
    }
    return server;
}

}  // namespace

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
                         "Con::ServerOverlappedPipe::create", 444),
            kServerWrites);
        connectClient(pair);
        server->connect();
        pair.server = std::move(server);
    } else {
        auto server = std::make_unique<ServerPipe>(
            createServer(name, PIPE_ACCESS_INBOUND, security, bufferSize, "Con::ServerPipe::create", 145),
            kServerWrites);
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
