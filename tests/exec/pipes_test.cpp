// Connecting to named pipes, against real pipes.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "errors/vexception.h"
#include "exec/pipes.h"
#include "runtime/datetime.h"
#include "runtime/registry.h"
#include "tests/support/config_key.h"

namespace {

// The OS error connect raised; 0 for none.
std::uint32_t errorOf(const std::function<void()>& connect) {
    try {
        connect();
    } catch (const vosexception& e) {
        return e.code();
    }
    return 0;
}

// The try count is cached and re-read every 16th query: query until the
// value just stored is in force.
void tryCountInForce(test_config::ConfigValues& config, std::uint32_t count) {
    config.set(L"PipeConnectTryCount", count);
    for (int i = 0; i < 17 && registry::pipeConnectTryCount(1) != count; ++i) {
    }
}

}  // namespace

TEST(Pipes, ClientsTryAsOftenAsConfigured) {
    test_config::ConfigValues config;
    const std::wstring name = L"\\\\.\\pipe\\rdtest-" + RunTime::uniqueName(true);
    tryCountInForce(config, 3);
    // A synchronous client gives up at once on a missing pipe; an overlapped
    // one waits for the server to appear.
    EXPECT_EQ(errorOf([&] { Con::ClientPipe::create(name, GENERIC_WRITE, 0, 1); }), DWORD{ERROR_FILE_NOT_FOUND});
    RunTime::FileHandle server;
    std::thread creator([&] {
        Sleep(200);
        server.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, 0, 1, 0, 0, 0, nullptr));
    });
    const RunTime::FileHandle client = Con::ClientOverlappedPipe::create(name, GENERIC_WRITE, 0, 1);
    creator.join();
    EXPECT_TRUE(client.valid());

    // 0x80000000 and above read as negative: no attempt at all.
    tryCountInForce(config, 0x80000000u);
    const std::wstring missing = name + L"-missing";
    EXPECT_EQ(errorOf([&] { Con::ClientOverlappedPipe::create(missing, GENERIC_WRITE, 0, 1); }),
              Con::kNoConnectAttemptError);
    // A removed value leaves the cache as it was: leave the default in force.
    tryCountInForce(config, 1);
}
