// The launcher against real child processes (the test child), and connecting to real named pipes.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "errors/vexception.h"
#include "exec/launcher.h"
#include "exec/overlapped_pipe.h"
#include "exec/pipe.h"
#include "exec/pipe_pair.h"
#include "runtime/datetime.h"
#include "runtime/files.h"
#include "runtime/registry.h"
#include "tests/support/config_key.h"
#include "tests/support/platform.h"
#include "tests/support/process_runner.h"
#include "tests/support/raised.h"
#include "tests/support/temp_dir.h"

namespace {

const std::wstring kChild = test_process::siblingPath(L"rdchild.exe");

// We start as a scheduler that heeds the error-mode advice starts its programs, ahead of the launcher's reading of the
// mode (Wine passes none on). SEM_NOALIGNMENTFAULTEXCEPT stays once set, and the test framework sets it.
constexpr UINT kStartMode = SEM_FAILCRITICALERRORS, kSticky = SEM_NOALIGNMENTFAULTEXCEPT;
const struct StartMode { StartMode() { SetErrorMode(kStartMode); } } g_startMode __attribute__((init_priority(200)));

// child started as the test child with arguments; its exit code once ended.
std::uint32_t run(vexecutil& child, const std::wstring& arguments) {
    child.executable = kChild;
    child.arguments = arguments;
    child.noWindow = child.inheritDesktop = true;
    child.start();
    EXPECT_TRUE(child.waitForExit(30000));
    return child.exitCode();
}

// A new file for writing, inheritable: one of our own standard streams.
RunTime::FileHandle inheritableFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    return RunTime::FileHandle(
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_NEW, 0, nullptr));
}

// Our standard streams set to the handles given while it lives, then put back.
class OurStreams {
public:
    OurStreams(std::initializer_list<std::pair<DWORD, HANDLE>> streams) {
        for (const auto& [stream, handle] : streams) saved_.emplace_back(stream, GetStdHandle(stream));
        for (const auto& [stream, handle] : streams) SetStdHandle(stream, handle);
    }
    ~OurStreams() {
        for (const auto& [stream, handle] : saved_) SetStdHandle(stream, handle);
    }
    OurStreams(const OurStreams&) = delete;
    OurStreams& operator=(const OurStreams&) = delete;

private:
    std::vector<std::pair<DWORD, HANDLE>> saved_;
};

}  // namespace

TEST(Launcher, ExitCodesResumeAndTermination) {
    vexecutil suspended;
    suspended.suspended = true;
    suspended.executable = kChild;
    // The wait is on the process: its first thread ends at once, another ends it two seconds later.
    suspended.arguments = L"thread 2000 42";
    suspended.start();
    EXPECT_FALSE(suspended.waitForExit(300));
    suspended.resume();
    EXPECT_FALSE(suspended.waitForExit(500));
    EXPECT_TRUE(suspended.waitForExit(30000));
    EXPECT_EQ(suspended.exitCode(), 42u);

    // Without a program, the arguments are the whole command line.
    vexecutil sleeper;
    sleeper.arguments = L"\"" + kChild + L"\" sleep 60000";
    sleeper.start();
    EXPECT_FALSE(sleeper.waitForExit(0));
    sleeper.terminate(1460);
    EXPECT_TRUE(sleeper.waitForExit(30000));
    EXPECT_EQ(sleeper.exitCode(), 1460u);
    EXPECT_NO_THROW(vexecutil().terminate(1));
    // A start that fails in the child's directory leaves us in ours.
    const test_support::TempDir directory(L"rdwd");
    vexecutil missing;
    missing.executable = kChild + L".missing";
    missing.workingDirectory = directory.path();
    const std::wstring before = VDirectory::current();
    EXPECT_THROW(missing.start(), vexception);
    EXPECT_EQ(VDirectory::current(), before);
}

// A start gives the child the error mode we started with, not ours (the agent adds SEM_NOGPFAULTERRORBOX for its own
// faults) nor the system's default; ours is back right after. Wine passes no mode on: only Windows' child reads it.
TEST(Launcher, AChildGetsTheErrorModeWeStartedWithAndOursStays) {
    const UINT own = SetErrorMode(kStartMode | SEM_NOGPFAULTERRORBOX);
    UINT given = 0;
    EXPECT_TRUE(createInStartErrorMode([&] { return given = GetErrorMode(), TRUE; }));
    EXPECT_EQ(given & ~kSticky, kStartMode);
    EXPECT_EQ(GetErrorMode() & ~kSticky, kStartMode | SEM_NOGPFAULTERRORBOX);
    vexecutil child;
    EXPECT_EQ(child.creationFlags() & CREATE_DEFAULT_ERROR_MODE, 0u);
    EXPECT_TRUE(test_support::runningUnderWine() || (run(child, L"errormode") & ~kSticky) == kStartMode);
    SetErrorMode(own);
}

// An inheritable handle of ours reaches the child only when it inherits handles for its streams, and not at all with
// the list of them; the streams still arrive, standard error merged or not, from an input another writer holds.
TEST(Launcher, OnlyRedirectedLaunchesInheritHandlesAndAListLimitsThemToTheStreams) {
    test_support::TempDir dir(L"rundock-exec-");
    test_support::writeBytes(dir / L"in.txt", "from stdin");
    // The input's producer still holds it open for writing: the child must start all the same.
    const RunTime::FileHandle producer(CreateFileW((dir / L"in.txt").c_str(), GENERIC_WRITE,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(producer.valid());
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    RunTime::AutoHandle event(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event.valid());
    const std::wstring check = L"handle " + std::to_wstring(reinterpret_cast<std::uintptr_t>(event.get()));
    vexecutil bare, redirected;
    EXPECT_EQ(run(bare, check), 0u);
    redirected.stdoutFile = dir / L"out.txt";
    EXPECT_EQ(run(redirected, check), 1u);
    // Without an error file of its own, a redirected child writes its errors to ours.
    const RunTime::FileHandle errors = inheritableFile(dir / L"errors.txt");
    for (const OurStreams errorsToFile{{STD_ERROR_HANDLE, errors.get()}}; const bool merge : {false, true}) {
        vexecutil listed;
        listed.inheritOnlyStdHandles = true;
        listed.stdinFile = dir / L"in.txt";
        // Its own file each: Wine's console host for the child inherits
        // every inheritable handle of ours and may still hold the last one.
        listed.stdoutFile = dir / (merge ? L"merged.txt" : L"listed.txt");
        listed.mergeStderr = merge;
        EXPECT_EQ(run(listed, L"cat err -E- " + check), 0u);
        EXPECT_EQ(test_support::readBytes(listed.stdoutFile), merge ? "from stdin-E-" : "from stdin");
    }
    EXPECT_EQ(test_support::readBytes(dir / L"errors.txt"), "-E-");
    // Without a stream handle to list, the list is empty: nothing at all is inherited.
    vexecutil none;
    none.inheritOnlyStdHandles = none.useStdHandles = true;
    const OurStreams noStreams{{STD_INPUT_HANDLE, nullptr}, {STD_OUTPUT_HANDLE, nullptr}, {STD_ERROR_HANDLE, nullptr}};
    EXPECT_EQ(run(none, check), 0u);
}

// One handle behind two streams is named once in the list: Windows refuses a list that names a handle twice.
TEST(Launcher, AHandleBehindTwoStreamsIsListedOnce) {
    if (test_support::runningUnderWine()) GTEST_SKIP() << "Wine accepts a list that names a handle twice";
    test_support::TempDir dir(L"rundock-exec-");
    const RunTime::FileHandle both = inheritableFile(dir / L"both.txt");
    vexecutil child;
    child.useStdHandles = child.inheritOnlyStdHandles = true;
    {
        const OurStreams shared{{STD_OUTPUT_HANDLE, both.get()}, {STD_ERROR_HANDLE, both.get()}};
        EXPECT_EQ(run(child, L"out o err e exit 5"), 5u);
    }
    EXPECT_EQ(test_support::readBytes(dir / L"both.txt"), "oe");
}

TEST(Pipes, ClientsTryAsOftenAsAsked) {
    // As often as configured, over the caller's default of 1; the count is cached, so each value is queried into force.
    test_config::ConfigValues config;
    const auto configure = [&](DWORD count) {
        config.set(L"PipeConnectTryCount", count);
        for (int i = 0; i < 16; ++i) registry::pipeConnectTryCount(1);
    };
    configure(9);
    const std::wstring name = L"\\\\.\\pipe\\rdtest-" + RunTime::uniqueName(true);
    // A synchronous client gives up at once on a missing pipe; an overlapped one waits for the server to appear, here
    // for up to four seconds.
    EXPECT_EQ(test_support::messageOf<vosexception>([&] { Con::ClientPipe::create(name, GENERIC_WRITE, 0, 9); },
                                                    [](const vosexception& e) { return std::to_wstring(e.code()); }),
              std::to_wstring(ERROR_FILE_NOT_FOUND));
    RunTime::FileHandle server;
    std::thread creator([&] {
        Sleep(200);
        server.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, 0, 1, 0, 0, 0, nullptr));
    });
    const RunTime::FileHandle client = Con::ClientOverlappedPipe::create(name, GENERIC_WRITE, 0, 1);
    creator.join();
    EXPECT_TRUE(client.valid());
    configure(1);  // a removed value would leave 9 in the cache
}

// Random names (UUID version 4), so that no other process can tell the next from one it has seen.
TEST(Pipes, EachPairGetsAFreshRandomName) {
    const std::wstring prefix = L"\\\\.\\pipe\\KorvoWin32.Pipes.", first = Con::freshPipeName();
    for (const std::wstring& name : {first, Con::freshPipeName()}) {
        ASSERT_EQ(name.size(), prefix.size() + 36) << name;
        EXPECT_EQ(name.substr(0, prefix.size()) + name[prefix.size() + 14], prefix + L'4') << name;
    }
    EXPECT_NE(first, Con::freshPipeName());
}

// A read that times out reads nothing and leaves the pipe serving; an exact one that gets less names the count. Reads
// that wait for their data follow one another, and a copy of the end does not wait for a read of the original's. A
// write after the reading end has gone finds the end of the channel.
TEST(Pipes, ReadsEndAtTheirTimeLimitAndExactOnesThatGetLessFail) {
    const Con::PipePair pair = Con::createPipePair(true, nullptr, 4096);
    auto& server = dynamic_cast<Con::OverlappedPipe&>(*pair.server);
    char buffer[4];
    EXPECT_EQ(server.read(buffer, 4, false, 100), 0u);
    EXPECT_EQ(pair.client->write("ab", 2, true), 2u);
    EXPECT_EQ(test_support::messageOf<vexception>([&] { server.read(buffer, 4, true, 5000); }),
              L"Completed only 2 of 4 bytes");
    for (const std::string text : {"cd", "ef"}) {
        EXPECT_EQ(server.beginRead(buffer, 2, true), 0u);
        auto copy = std::async(std::launch::async, [&] { server.clone(); });
        EXPECT_EQ(copy.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the copy waited";
        EXPECT_EQ(pair.client->write(text.data(), 2, true), 2u);
        EXPECT_EQ(server.complete(nullptr, 5000, true), 2u);
        EXPECT_EQ(std::string(buffer, 2), text);
    }
    pair.server->close(true);
    EXPECT_EQ(pair.client->write("gh", 2, true), 0u);
    EXPECT_TRUE(pair.client->eof());
}

// A failed wait for the client raises the connect's own text and line. An APC takes the event away while it waits.
TEST(Pipes, AServerWhoseWaitForTheClientFailsSaysSo) {
    struct Server : Con::ServerOverlappedPipe {
        using ServerOverlappedPipe::ServerOverlappedPipe;
        HANDLE event() noexcept { return overlappedRecord().event(); }
    } server(RunTime::FileHandle(CreateNamedPipeW((L"\\\\.\\pipe\\rdtest-" + RunTime::uniqueName(true)).c_str(),
                                                  PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0, 1, 0, 0, 0, nullptr)),
             false);
    ASSERT_TRUE(QueueUserAPC([](ULONG_PTR event) { CloseHandle(reinterpret_cast<HANDLE>(event)); }, GetCurrentThread(),
                             reinterpret_cast<ULONG_PTR>(server.event())));
    EXPECT_EQ(test_support::messageOf<vosexception>([&] { server.connect(); }, [](const vosexception& e) {
        return e.message() + L" line " + std::to_wstring(e.chain().front().line);
    }), vosexception::composeMessage(ERROR_INVALID_HANDLE, L"Unable to wait while pipe has been connected") + L" line 467");
}
