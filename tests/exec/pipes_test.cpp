// Named-pipe channels against real pipes.
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

std::string readAll(Con::Pipe& pipe) {
    std::string text;
    char buffer[64];
    while (const std::uint32_t got = pipe.read(buffer, sizeof buffer, false)) text.append(buffer, got);
    return text;
}

// The try count is cached and re-read every 16th query: query until the
// value just stored is in force.
void tryCountInForce(std::uint32_t expected) {
    for (int i = 0; i < 17 && registry::pipeConnectTryCount(1) != expected; ++i) {
    }
}

std::wstring messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const vexception& e) {
        return e.message();
    }
    return L"<nothing thrown>";
}

}  // namespace

// The pairs have no buffer of their own: a write ends once it has been read.
TEST(Pipes, CarryBytesUntilThePartnerGoes) {
    for (const bool overlapped : {false, true}) {
        SCOPED_TRACE(overlapped ? "overlapped" : "synchronous");
        Con::PipePair pair = Con::createPipePair(false, overlapped);
        std::thread writer([&] {
            pair.client->write("hello", 5, true);
            pair.client->write("bye", 3, true);
            pair.client.reset();
        });
        char buffer[5];
        EXPECT_EQ(pair.server->read(buffer, 5, true), 5u);
        EXPECT_EQ(std::string(buffer, 5), "hello");
        EXPECT_EQ(readAll(*pair.server), "bye");
        writer.join();
        EXPECT_TRUE(pair.server->eof());
        EXPECT_EQ(pair.server->read(buffer, 5, false), 0u);
    }
}

TEST(Pipes, ExactTransfersRaiseShortCounts) {
    for (const bool overlapped : {false, true}) {
        Con::PipePair pair = Con::createPipePair(false, overlapped);
        std::thread writer([&] { pair.client->write("abc", 3, true); });
        char buffer[10];
        EXPECT_EQ(messageOf([&] { pair.server->read(buffer, 10, true); }), L"Completed only 3 of 10 bytes");
        writer.join();
    }
}

TEST(Pipes, OverlappedRequestsGoOneAtATimeAndTimeOut) {
    Con::PipePair pair = Con::createPipePair(false, true);
    auto& server = dynamic_cast<Con::OverlappedPipe&>(*pair.server);
    char buffer[8];
    EXPECT_EQ(server.beginRead(buffer, sizeof buffer, false), 0u);
    EXPECT_FALSE(server.idle());
    EXPECT_EQ(messageOf([&] { server.beginRead(buffer, sizeof buffer, false); }), L"Previous request has not completed!");
    // Nothing was written: the request is cancelled and the end idle again.
    EXPECT_EQ(server.complete(nullptr, 50, false), 0u);
    EXPECT_TRUE(server.idle());
    EXPECT_FALSE(server.eof());
    EXPECT_EQ(messageOf([&] { server.complete(nullptr, 0, false); }), L"Previous request has completed!");
    // The cancelled request took nothing that came later.
    std::thread writer([&] { pair.client->write("xy", 2, true); });
    EXPECT_EQ(server.read(buffer, 2, true), 2u);
    EXPECT_EQ(std::string(buffer, 2), "xy");
    writer.join();

    // A write nobody reads ends at its time limit, its unread part dropped.
    auto& client = dynamic_cast<Con::OverlappedPipe&>(*pair.client);
    const std::string large(1000, 'x');
    std::uint32_t written = client.beginWrite(large.data(), static_cast<std::uint32_t>(large.size()), false);
    if (!client.idle()) written = client.complete(nullptr, 200, false);
    EXPECT_LT(written, large.size());
    EXPECT_TRUE(client.idle());
}

TEST(Pipes, ClientsTryAsOftenAsConfigured) {
    test_config::ConfigValues config;
    const std::wstring name = L"\\\\.\\pipe\\rdtest-" + RunTime::uniqueName(true);
    // A synchronous client gives up at once on a missing pipe.
    config.set(L"PipeConnectTryCount", 3);
    tryCountInForce(3);
    try {
        Con::ClientPipe::create(name, GENERIC_WRITE, 0, 1);
        ADD_FAILURE() << "connected to a missing pipe";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    }
    // An overlapped one waits for the server to appear.
    RunTime::FileHandle server;
    std::thread creator([&] {
        Sleep(200);
        server.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, 0, 1, 0, 0, 0, nullptr));
    });
    const RunTime::FileHandle client = Con::ClientOverlappedPipe::create(name, GENERIC_WRITE, 0, 1);
    creator.join();
    EXPECT_TRUE(client.valid());

    // 0x80000000 and above read as negative: no attempt at all.
    config.set(L"PipeConnectTryCount", 0x80000000u);
    tryCountInForce(0x80000000u);
    const std::wstring missing = name + L"-missing";
    try {
        Con::ClientOverlappedPipe::create(missing, GENERIC_WRITE, 0, 1);
        ADD_FAILURE() << "connected without an attempt";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), Con::kNoConnectAttemptError);
    }
    try {
        Con::ClientPipe::create(missing, GENERIC_WRITE, 0, 1);
        ADD_FAILURE() << "connected without an attempt";
    } catch (const vosexception&) {
        ADD_FAILURE() << "a synchronous client without attempts has no error code";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"Unable to connect to pipe " + missing);
    }
    // The count is cached, and a removed value leaves the cache as it was:
    // leave the default in force for later pairs.
    config.set(L"PipeConnectTryCount", 1);
    tryCountInForce(1);
}
