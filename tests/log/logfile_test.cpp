// The log file, the event log and the context that modules of one process
// share, against the real registry, files and processes.
#include <windows.h>

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/logmanager.h"
#include "runtime/execute_context.h"
#include "runtime/library.h"
#include "runtime/registry.h"
#include "tests/support/agent_run.h"
#include "tests/support/config_key.h"
#include "tests/support/log_records.h"
#include "tests/support/platform.h"
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
        if (withLogs) test_log::makeInstallation(dir.path());
        config.set(L"PRODUCT_ROOT_D", dir.path());
        config.set(L"Debug", DWORD{debug});
        config.remove(L"log_debug_enabled");
        noticeDebugSwitch();
    }
    ~LogRoot() {
        config.remove(L"Debug");
        noticeDebugSwitch();
    }
    static void noticeDebugSwitch() { for (int i = 0; i < 16; ++i) LogManager::instance().isDebug(); }
    std::wstring todaysFile() const { return test_log::todaysLogFile(dir.path()); }
    std::wstring text() const { return test_log::utf16Text(test_support::readBytes(todaysFile())); }

    test_support::TempDir dir{L"rdlog"};
    test_config::ConfigValues config;
};

// processes rdlog processes at once, each of threads threads logging texts long Info records (each process with a
// mutex of its own when twoMutexes): the file below root then holds every record whole, each text once per thread of each.
void writeAtOnce(const LogRoot& root, int processes, int threads, int texts, bool twoMutexes) {
    const std::wstring rdlog = test_process::siblingPath(L"rdlog.exe");
    std::vector<std::wstring> logged;
    for (int i = 0; i < texts; ++i) logged.push_back(std::wstring(300, wchar_t(L'a' + i % 26)) + std::to_wstring(i));
    std::vector<std::thread> starters;
    for (int p = 0; p < processes; ++p) {
        std::vector<std::wstring> arguments{L"threads", std::to_wstring(threads)};
        if (twoMutexes) arguments.insert(arguments.begin(), {L"mutex", L"rdtest" + std::to_wstring(p)});
        for (const std::wstring& text : logged) arguments.insert(arguments.end(), {L"0", text});
        starters.emplace_back([&rdlog, line = test_process::commandLine(rdlog, arguments)] {
            EXPECT_NO_THROW(test_process::run(rdlog, line, 120000));
        });
    }
    for (std::thread& starter : starters) starter.join();
    bool parsed = false;
    std::map<std::wstring, int> counts, expected;
    for (const std::wstring& record : recordsOf(root.text(), &parsed)) ++counts[record];
    for (const std::wstring& text : logged) expected[L"Info: " + text] = processes * threads;
    EXPECT_TRUE(parsed);
    EXPECT_TRUE(counts == expected) << "records lost or torn";
}

using Types = std::map<unsigned, int>;  // event type: reports

// The event types of the reports in a trace of Wine's advapi channel (Wine's ReportEventW stores nothing, but traces
// every call): category 0, event 1, two insertion strings.
Types reportedTypes(const std::vector<std::string>& trace) {
    static const std::regex call(R"(:ReportEventW \([0-9A-Fa-f]+,0x([0-9a-f]+),0x0*,0x0*1,[0-9A-Fa-f]+,0x0*2,)");
    Types types;
    for (const std::string& line : trace)
        if (std::smatch match; std::regex_search(line, match, call)) ++types[std::stoul(match[1], nullptr, 16)];
    return types;
}

// The threads of this process.
std::size_t ownThreads() {
    const RunTime::AutoHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    std::size_t count = 0;
    THREADENTRY32 entry{sizeof(entry)};
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    return count;
}

}  // namespace

// A DLL on the runtime adopts the executable's context (switches, handlers, log file) and gives its reference back.
TEST(ExecuteContext, ASecondModuleSharesTheContextHandlersAndFile) {
    LogRoot root(true);
    Recorder recorder;
    ExecuteContext& own = executeContext();
    const std::uint64_t references = own.references;
    const std::size_t threads = ownThreads();
    const HMODULE module = LoadLibraryW(test_process::siblingPath(L"rdmodule.dll").c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    EXPECT_EQ(ownThreads(), threads + 1);  // the module's parked last-chance helper
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
    EXPECT_EQ(ownThreads(), threads) << "the module's helper outlived it";
    // The cancellation registry's lock is the process's, whichever module takes it: held elsewhere (for a second), both
    // modules' first records wait for it, so that they make one registry one after the other.
    const std::wstring rdlog = test_process::siblingPath(L"rdlog.exe");
    std::unique_ptr<test_process::MutexHolder> holder;
    std::thread release;
    ULONGLONG started = 0;
    const auto ran = test_process::run(
        rdlog, test_process::commandLine(rdlog, {L"module", L"threads", L"2", L"0", L"both"}), 60000, {}, {}, nullptr,
        [&](DWORD agent) {
            holder = std::make_unique<test_process::MutexHolder>(L"{D660A9E0-ED82-4a76-A607-E7B8471B868E}:" +
                                                                 std::to_wstring(agent));
            started = GetTickCount64();
            release = std::thread([&] { Sleep(1000); holder->end(); });
        });
    EXPECT_GE(GetTickCount64() - ran.outputEndMs - started, 1000u);  // when rdlog ended (the holder may keep the output)
    release.join();
    EXPECT_EQ(recordsOf(root.text()), (Records{L"Info: from the module", L"Info: both", L"Info: both"}));
}

TEST(LogFile, SwitchesDecideWhatReachesTheFileAndFailuresStayInside) {
    {
        LogRoot root(false);
        Recorder recorder;
        for (const LogLevel level : {Info, Result, Error, Unexpected})
            LogManager::instance().log(level, L"outside debug");
        // The stamp: today's local date, the time, this process's and this thread's ids.
        SYSTEMTIME today;
        GetLocalTime(&today);
        const std::wstring stamp = std::to_wstring(today.wYear * 10000 + today.wMonth * 100 + today.wDay)
                                       .insert(6, L"/").insert(4, L"/") + LR"( \d\d:\d\d:\d\d\.\d{3} )" +
                                   std::to_wstring(GetCurrentProcessId()) + L" " + std::to_wstring(GetCurrentThreadId());
        EXPECT_TRUE(std::regex_match(root.text(), std::wregex(L"\uFEFF" + stamp + L" Error: outside debug\r\n" + stamp +
                                                              L" Unexpected: outside debug\r\n")))
            << testing::PrintToString(root.text());
        EXPECT_EQ(recorder.records.size(), 4u);  // handlers get every level
    }
    {
        LogRoot root(true);
        root.config.set(L"log_debug_enabled", DWORD{0});
        // Nor does a switched-off file take its mutex: a record goes out
        // while another holder keeps it, well before a writer's 5 s wait ends.
        const RunTime::AutoHandle held(CreateMutexW(nullptr, TRUE, L"korvolog_debug_mutex"));
        ASSERT_TRUE(held.valid());
        auto logged = std::async(std::launch::async, [] { LogManager::instance().log(Error, L"file switched off"); });
        EXPECT_EQ(logged.wait_for(std::chrono::seconds(3)), std::future_status::ready);
        ReleaseMutex(held.get());
        logged.wait();
        EXPECT_EQ(GetFileAttributesW(root.todaysFile().c_str()), INVALID_FILE_ATTRIBUTES);
    }
    {
        // A record that must not wait (a fail-fast's) only tries the mutex, which a writer would wait 5 s for, and without
        // it makes no file (two such writers could each give it a mark): the day's first is lost, the next lands.
        LogRoot root(true);
        const RunTime::AutoHandle held(CreateMutexW(nullptr, TRUE, L"korvolog_debug_mutex"));
        const auto unwaited = [](const wchar_t* text) {
            auto logged = std::async(std::launch::async, [text] { LogManager::instance().logWithoutWaiting(Error, text); });
            EXPECT_EQ(logged.wait_for(std::chrono::seconds(3)), std::future_status::ready);
        };
        unwaited(L"lost");
        EXPECT_EQ(GetFileAttributesW(root.todaysFile().c_str()), INVALID_FILE_ATTRIBUTES);
        LogManager::instance().log(Error, L"first");  // the holder's own thread: it owns the mutex
        unwaited(L"unordered");
        ReleaseMutex(held.get());
        EXPECT_EQ(recordsOf(root.text()), (Records{L"Error: first", L"Error: unordered"}));
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

// Later handlers miss the record; only an exception record passes the throw on to the caller.
TEST(LogHandlers, AThrowingHandlerEndsTheDispatchOfItsRecord) {
    LogRoot root(false);
    Recorder first, second;
    first.throws = true;
    EXPECT_NO_THROW(LogManager::instance().log(Info, L"text"));
    EXPECT_THROW(LogManager::instance().log(Info, vexception(L"e", raiseSite("test", 1))), int);
    EXPECT_EQ(first.records, (Records{L"Info: text", L"Info: e"}));
    EXPECT_EQ(second.records, Records{});
}

// The console shows the text of each record from Result up, one a line.
TEST(LogConsole, ShowsEachRecordFromResultUp) {
    LogRoot root(false);
    const std::wstring rdlog = test_process::siblingPath(L"rdlog.exe");
    std::string output = test_process::run(rdlog, test_process::commandLine(rdlog, {L"console", L"0", L"info", L"1",
                                                                                    L"warning", L"2", L"result", L"3",
                                                                                    L"error", L"4", L"unexpected", L"5",
                                                                                    L"crash"})).output;
    std::erase(output, '\r');
    EXPECT_EQ(output, "result\nerror\nunexpected\ncrash");
}

TEST(LogFile, ThirtyTwoProcessesOfEightThreadsAtOnceLoseAndTearNoRecord) {
    LogRoot root(true);
    writeAtOnce(root, 32, 8, 10, false);
    const std::wstring text = root.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), wchar_t(0xFEFF)), 1);  // one writer gave the new file its mark
}

// Writers of two sessions hold two mutexes of one name, here two names (Wine has one session): each record is still
// one append, which for an append-only handle never overwrites ("File Security and Access Rights", FILE_APPEND_DATA).
TEST(LogFile, WritersHoldingTwoMutexesLoseAndTearNoRecord) {
    if (test_support::runningUnderWine())
        GTEST_SKIP() << "Wine's NtWriteFile appends at the size fstat gave, so two processes overwrite each other";
    LogRoot root(true);
    // Two mutexes do not keep two writers from each finding an empty file and giving it a mark.
    test_support::writeBytes(root.todaysFile(), "\xff\xfe");
    writeAtOnce(root, 2, 16, 40, true);
}

// Each level goes out with its own event type, category 0, event 1 and two insertion strings, the text and the program,
// which the registered message file renders; Info, Warning and Result only in debug mode. Threads logging at once
// register the source once. The registration keeps an existing log's settings. Windows keeps the records, read back
// here; Wine's ReportEventW stores nothing, but its trace shows every call.
TEST(EventLog, EachLevelIsReportedWithItsEventType) {
    const std::wstring logKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Korvo";
    const std::wstring rdlog = test_process::siblingPath(L"rdlog.exe");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, logKey.c_str());  // the key itself goes too
    const std::map<wchar_t, WORD> typeOf{{L'i', EVENTLOG_INFORMATION_TYPE}, {L'w', EVENTLOG_WARNING_TYPE},
                                         {L'r', EVENTLOG_SUCCESS},          {L'e', EVENTLOG_ERROR_TYPE},
                                         {L'u', EVENTLOG_ERROR_TYPE},       {L'c', EVENTLOG_ERROR_TYPE}};
    for (const bool debug : {false, true}) {
        LogRoot root(debug);
        const std::wstring messageFile = root.dir / L"admin\\bin64\\eventmsg.dll";
        // Four threads each log Info once, Warning twice, Result three times, then Error, Unexpected and Crash; the
        // texts carry a tag of this round.
        const std::wstring tag = L" " + RunTime::uniqueName(true), levels = L"0i1w1w2r2r2r3e4u5c";
        std::vector<std::wstring> records{L"threads", L"4"};
        for (std::size_t i = 0; i < levels.size(); i += 2)
            records.insert(records.end(), {levels.substr(i, 1), levels[i + 1] + tag});
        // The file the registration names (checked below) renders the texts as a viewer shows them.
        const RunTime::Owner<RunTime::LibraryTraits> file(
            LoadLibraryExW(messageFile.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        const auto expectShown = [&](const wchar_t* text, const wchar_t* program) {
            const DWORD_PTR inserts[] = {DWORD_PTR(text), DWORD_PTR(program)};
            wchar_t shown[600] = {};
            FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, file.get(), 1, 0, shown, 600,
                           reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts)));
            EXPECT_EQ(std::wstring(shown), std::wstring(text) + L"\r\n\r\nProgram: " + program);
        };
        Types types;
        if (test_support::runningUnderWine()) {
            const auto trace = test_wine::trace(L"fixme+advapi", rdlog, records, root.dir / L"trace.txt");
            types = reportedTypes(trace);
            const auto registers = [](const std::string& line) { return line.find(":RegisterEventSourceW") != line.npos; };
            EXPECT_EQ(std::ranges::count_if(trace, registers), 1);
            expectShown(L"lost a file", L"C:\\bin\\rundock.exe");
        } else {
            ASSERT_EQ(test_process::run(rdlog, test_process::commandLine(rdlog, records)).exitCode, 0u);
            // Until the event-log service notices a new source, Windows routes its records to the Application log, and
            // a log it cannot find opens as that one ("OpenEventLogW function"): each record counts once.
            std::set<std::pair<DWORD, std::wstring>> counted;  // record number, source
            for (const wchar_t* name : {L"Korvo", L"Application"}) {
                const std::unique_ptr<void, decltype(&CloseEventLog)> log(OpenEventLogW(nullptr, name), &CloseEventLog);
                ASSERT_TRUE(log) << GetLastError();
                std::vector<BYTE> buffer(0x10000);
                for (DWORD read = 0, more = 0;
                     ReadEventLogW(log.get(), EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buffer.data(),
                                   DWORD(buffer.size()), &read, &more);)
                    for (DWORD at = 0; at < read; at += reinterpret_cast<EVENTLOGRECORD*>(&buffer[at])->Length) {
                        const auto& record = *reinterpret_cast<EVENTLOGRECORD*>(&buffer[at]);
                        const auto* text = reinterpret_cast<const wchar_t*>(&buffer[at + record.StringOffset]);
                        const auto* source = reinterpret_cast<const wchar_t*>(&buffer[at + sizeof(EVENTLOGRECORD)]);
                        if (record.NumStrings == 0 || !std::wstring_view(text).ends_with(tag) ||
                            !counted.emplace(record.RecordNumber, source).second)
                            continue;
                        const wchar_t* program = text + wcslen(text) + 1;
                        ++types[record.EventType];
                        EXPECT_EQ(std::make_tuple(record.EventID, record.EventCategory, record.NumStrings,
                                                  record.EventType, std::wstring(program)),
                                  std::make_tuple(DWORD{1}, WORD{0}, WORD{2}, typeOf.at(text[0]), rdlog));
                        expectShown(text, program);
                    }
            }
        }
        EXPECT_EQ(types, (debug ? Types{{EVENTLOG_SUCCESS, 12}, {EVENTLOG_ERROR_TYPE, 12}, {EVENTLOG_WARNING_TYPE, 8},
                                        {EVENTLOG_INFORMATION_TYPE, 4}}
                                : Types{{EVENTLOG_ERROR_TYPE, 12}}));
        EXPECT_EQ(
            registry::getstr(HKEY_LOCAL_MACHINE, logKey + L"\\rdlog.exe", L"EventMessageFile", registry::View::Native),
            messageFile);
        DWORD maxSize = 0;
        registry::lookup(HKEY_LOCAL_MACHINE, logKey, L"MaxSize", maxSize, registry::View::Native);
        EXPECT_EQ(maxSize, debug ? 1234u : 0x800000u);
        registry::set(registry::Key(HKEY_LOCAL_MACHINE, logKey, KEY_SET_VALUE, true).get(), L"MaxSize", DWORD{1234});
    }
}


// The source is registered whatever its registry work did: with the installation root's value gone (no message file to
// name, no log file), a failing run's error still reaches the event log. The registration writes a value only where it
// is missing or different (a path in another case is the same), so a run over a right registration leaves the registry
// alone. It names no message file that is not there: the log file says so once, and a mistyped root gets no folder
// below it. Wine traces every report (advapi) and every value written (reg).
TEST(EventLog, RegistrationWritesOnlyWhatIsMissingAndNeverKeepsAnErrorBack) {
    if (!test_support::runningUnderWine()) GTEST_SKIP() << "reads Wine's traces of reports and registry writes";
    {
        reliability::TaskRun task;
        task.config().remove(L"PRODUCT_ROOT_D");
        task.variables.erase(L"RD_PID");
        const auto trace = task.traced(L"fixme+advapi", L"trace.txt");
        EXPECT_EQ(trace.back(), "exit 1");
        EXPECT_EQ(reportedTypes(trace), (Types{{EVENTLOG_ERROR_TYPE, 1}}));
    }
    LogRoot root(false);
    const std::wstring rdlog = test_process::siblingPath(L"rdlog.exe");
    const auto written = [&](const wchar_t* traceName) {
        std::vector<std::string> values;
        for (const std::string& line : test_wine::trace(L"+reg", rdlog, {L"3", L"lost"}, root.dir / traceName))
            for (const char* value : {"\"TypesSupported\"", "\"EventMessageFile\"", "\"MaxSize\"", "\"Retention\""})
                if (line.find(":NtSetValueKey") != line.npos && line.find(value) != line.npos) values.push_back(value);
        return values;
    };
    EXPECT_EQ(std::ranges::count(written(L"first.txt"), std::string("\"EventMessageFile\"")), 1);  // this root's file
    std::wstring upper = root.dir.path();
    root.config.set(L"PRODUCT_ROOT_D", CharUpperW(upper.data()));
    EXPECT_EQ(written(L"second.txt"), std::vector<std::string>{});
    const std::wstring other = root.dir / L"other";  // a root with its log folder, without the file
    for (const wchar_t* folder : {L"", L"\\admin", L"\\admin\\logs"})
        CreateDirectoryW((other + folder).c_str(), nullptr);
    root.config.set(L"PRODUCT_ROOT_D", other);
    EXPECT_EQ(written(L"no file.txt"), std::vector<std::string>{});
    const Records records = recordsOf(test_log::utf16Text(test_support::readBytes(test_log::todaysLogFile(other))));
    EXPECT_EQ(std::ranges::count_if(records, [](const std::wstring& record) {
                  return record.starts_with(L"Warning: Event source 'rdlog.exe' keeps the message file it names: ");
              }), 1) << testing::PrintToString(records);
    root.config.set(L"PRODUCT_ROOT_D", root.dir / L"typo");
    EXPECT_EQ(written(L"typo.txt"), std::vector<std::string>{});
    EXPECT_EQ(GetFileAttributesW((root.dir / L"typo").c_str()), INVALID_FILE_ATTRIBUTES);
}
