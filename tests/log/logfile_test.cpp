// The log file, the event log and the context that modules of one process
// share, against the real registry, files and processes.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log/logmanager.h"
#include "runtime/execute_context.h"
#include "runtime/library.h"
#include "runtime/registry.h"
#include "tests/support/config_key.h"
#include "tests/support/log_records.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wine_trace.h"

namespace {

using Records = std::vector<std::wstring>;
using test_log::recordsOf;
using test_log::Recorder;

// An installation root with admin\logs, named in the configuration, and the "Debug" switch (re-read every 16th query).
struct LogRoot {
    explicit LogRoot(bool debug, bool withLogs = true) {
        if (withLogs)
            for (const wchar_t* name : {L"admin", L"admin\\logs"}) CreateDirectoryW((dir / name).c_str(), nullptr);
        config.set(L"PRODUCT_ROOT_D", dir.path());
        config.set(L"Debug", DWORD{debug});
        config.remove(L"log_debug_enabled");
        noticeDebugSwitch();
    }
    ~LogRoot() {
        config.remove(L"Debug");
        noticeDebugSwitch();
    }
    static void noticeDebugSwitch() {
        for (int i = 0; i < 16; ++i) LogManager::instance().isDebug();
    }
    std::wstring todaysFile() const { return test_log::todaysLogFile(dir.path()); }
    std::wstring text() const { return test_log::utf16Text(test_support::readBytes(todaysFile())); }

    test_support::TempDir dir{L"rdlog"};
    test_config::ConfigValues config;
};

}  // namespace

// A DLL on the runtime adopts the executable's context (switches, handlers, log file) and gives its reference back.
TEST(ExecuteContext, ASecondModuleSharesTheContextHandlersAndFile) {
    LogRoot root(true);
    Recorder recorder;
    ExecuteContext& own = executeContext();
    const std::uint64_t references = own.references;
    const HMODULE module = LoadLibraryW(test_process::siblingPath(L"rdmodule.dll").c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    const auto exported = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); };
    const auto context = reinterpret_cast<ExecuteContext* (*)()>(exported("rdmoduleContext"));
    const auto log = reinterpret_cast<void (*)(int, const wchar_t*)>(exported("rdmoduleLog"));
    ASSERT_TRUE(context && log);
    EXPECT_TRUE(context() == &own && own.references == references + 1);
    log(Info, L"from the module");
    EXPECT_EQ(recorder.records, std::vector<std::wstring>{L"Info: from the module"});
    EXPECT_EQ(recordsOf(root.text()), std::vector<std::wstring>{L"Info: from the module"});
    FreeLibrary(module);
    EXPECT_EQ(own.references, references);
}

TEST(LogFile, SwitchesDecideWhatReachesTheFileAndFailuresStayInside) {
    {
        LogRoot root(false);
        Recorder recorder;
        for (const LogLevel level : {Info, Result, Error, Unexpected}) LogManager::instance().log(level, L"outside debug");
        // The stamp: today's local date, the time, this process's and this thread's ids.
        SYSTEMTIME today;
        GetLocalTime(&today);
        const std::wstring stamp = std::to_wstring(today.wYear * 10000 + today.wMonth * 100 + today.wDay)
                                       .insert(6, L"/").insert(4, L"/") + LR"( \d\d:\d\d:\d\d\.\d{3} )" +
                                   std::to_wstring(GetCurrentProcessId()) + L" " + std::to_wstring(GetCurrentThreadId());
        EXPECT_TRUE(std::regex_match(root.text(), std::wregex(L"\uFEFF" + stamp + L" Error: outside debug\r\n" + stamp + L" Unexpected: outside debug\r\n")))
            << testing::PrintToString(root.text());
        EXPECT_EQ(recorder.records.size(), 4u);  // handlers get every level
    }
    {
        LogRoot root(true);
        root.config.set(L"log_debug_enabled", DWORD{0});
        // Nor does a switched-off file take its mutex: a record goes out
        // while another holder keeps it, where a writer would wait.
        const RunTime::AutoHandle held(CreateMutexW(nullptr, TRUE, L"korvolog_debug_mutex"));
        ASSERT_TRUE(held.valid());
        auto logged = std::async(std::launch::async, [] { LogManager::instance().log(Error, L"file switched off"); });
        EXPECT_EQ(logged.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        ReleaseMutex(held.get());
        logged.wait();
        EXPECT_EQ(GetFileAttributesW(root.todaysFile().c_str()), INVALID_FILE_ATTRIBUTES);
    }
    for (const bool rootless : {false, true}) {
        LogRoot root(true, false);  // no admin\logs, or no root: lost from the file only
        if (rootless) root.config.remove(L"PRODUCT_ROOT_D");
        Recorder recorder;
        LogManager::instance().log(Error, L"nowhere to go");
        EXPECT_EQ(GetFileAttributesW((root.dir / L"admin").c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(recorder.records, Records{L"Error: nowhere to go"});
    }
}

// Processes and threads writing at once lose and tear no record.
TEST(LogFile, ThirtyTwoProcessesAtOnceLoseAndTearNoRecord) {
    LogRoot root(true);
    const std::wstring rdlog = test_process::siblingPath(L"rdlog.exe");
    std::vector<std::wstring> arguments{L"threads", L"8"};  // each logs ten long records
    for (int i = 0; i < 10; ++i) arguments.insert(arguments.end(), {L"0", std::wstring(300, wchar_t(L'a' + i))});
    const std::wstring line = test_process::commandLine(rdlog, arguments);
    std::vector<std::thread> starters;
    for (int i = 0; i < 32; ++i)
        starters.emplace_back([&] { EXPECT_NO_THROW(test_process::run(rdlog, line, 120000)); });
    for (std::thread& starter : starters) starter.join();
    const std::wstring text = root.text();
    bool parsed = false;
    EXPECT_EQ(recordsOf(text, &parsed).size(), 32u * 8 * 10);
    EXPECT_TRUE(parsed);
    EXPECT_EQ(std::count(text.begin(), text.end(), wchar_t(0xFEFF)), 1);
}

// Wine's ReportEventW stores nothing, but its trace shows every call. Each level goes out with its own event type,
// category 0, event 1 and two insertion strings; Info, Warning and Result only in debug mode. Threads logging at once
// register the source once. The registration names the message file and keeps an existing log's settings.
TEST(EventLog, EachLevelIsReportedWithItsEventType) {
    const std::wstring logKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Korvo";
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, logKey.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, logKey.c_str());
    // Four threads each log Info once, Warning twice, Result three times, then Error, Unexpected and Crash.
    const std::vector<std::wstring> records{L"threads", L"4", L"0", L"i", L"1", L"w", L"1", L"w", L"2", L"r",
                                            L"2",       L"r", L"2", L"r", L"3", L"e", L"4", L"u", L"5", L"c"};
    static const std::regex call(R"(:ReportEventW \([0-9A-Fa-f]+,0x([0-9a-f]+),0x0*,0x0*1,[0-9A-Fa-f]+,0x0*2,)");
    for (const bool debug : {false, true}) {
        LogRoot root(debug);
        const std::vector<std::string> trace = test_wine::trace(
            L"fixme+advapi", test_process::siblingPath(L"rdlog.exe"), records, root.dir / L"trace.txt");
        using Types = std::map<unsigned, int>;  // event type: reports
        Types types;
        for (const std::string& line : trace)
            if (std::smatch match; std::regex_search(line, match, call)) ++types[std::stoul(match[1], nullptr, 16)];
        EXPECT_EQ(types, (debug ? Types{{EVENTLOG_SUCCESS, 12}, {EVENTLOG_ERROR_TYPE, 12}, {EVENTLOG_WARNING_TYPE, 8},
                                        {EVENTLOG_INFORMATION_TYPE, 4}}
                                : Types{{EVENTLOG_ERROR_TYPE, 12}}));
        EXPECT_EQ(std::count_if(trace.begin(), trace.end(),
                                [](const auto& line) { return line.find(":RegisterEventSourceW") != line.npos; }), 1);
        EXPECT_EQ(
            registry::getstr(HKEY_LOCAL_MACHINE, logKey + L"\\rdlog.exe", L"EventMessageFile", registry::View::Native),
            root.dir / L"admin\\bin64\\eventmsg.dll");
        DWORD maxSize = 0;
        registry::lookup(HKEY_LOCAL_MACHINE, logKey, L"MaxSize", maxSize, registry::View::Native);
        EXPECT_EQ(maxSize, debug ? 1234u : 0x800000u);
        registry::set(registry::Key(HKEY_LOCAL_MACHINE, logKey, KEY_SET_VALUE, true).get(), L"MaxSize", DWORD{1234});
    }
}

// The message file shows a record's text, then the program that logged it.
TEST(EventLog, TheMessageFileRendersTheTextThenTheProgram) {
    const std::wstring path = test_process::siblingPath(L"eventmsg.dll");
    const RunTime::Owner<RunTime::LibraryTraits> file(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(file.valid());
    const DWORD_PTR inserts[] = {DWORD_PTR(L"lost a file"), DWORD_PTR(L"C:\\bin\\rundock.exe")};
    wchar_t text[200] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, file.get(), 1, 0x409, text, 200,
                   reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts)));
    EXPECT_STREQ(text, L"lost a file\r\n\r\nProgram: C:\\bin\\rundock.exe");
}
