// The log file, the event-log registration and the context that modules of
// one process share, against the real registry, files and processes.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <regex>
#include <thread>
#include <string>
#include <vector>

#include "log/logfile.h"
#include "log/logmanager.h"
#include "runtime/execute_context.h"
#include "runtime/registry.h"
#include "runtime/text.h"
#include "tests/support/config_key.h"
#include "tests/support/log_records.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wine_trace.h"

namespace {

struct Recorder : ILogHandler {
    std::vector<std::wstring> records;
    Recorder() { LogManager::instance().addHandler(this); }
    ~Recorder() override { LogManager::instance().removeHandler(this); }
    void handleMessage(LogLevel level, const std::wstring& text) override {
        records.push_back(std::wstring(logLevelName(level)) + L": " + text);
    }
};

// The "Debug" switch is re-read on every 16th query only.
void noticeDebugSwitch() {
    for (int i = 0; i < 16; ++i) LogManager::instance().isDebug();
}

// An installation root with admin\logs, named in the configuration.
class LogRoot {
public:
    explicit LogRoot(bool debug, bool withLogs = true) : root_(L"rdlog") {
        if (withLogs) {
            CreateDirectoryW((root_ / L"admin").c_str(), nullptr);
            CreateDirectoryW((root_ / L"admin\\logs").c_str(), nullptr);
        }
        config_.set(L"PRODUCT_ROOT_D", root_.path());
        config_.set(L"Debug", DWORD{debug ? 1u : 0u});
        config_.remove(L"log_debug_enabled");
        noticeDebugSwitch();
    }
    ~LogRoot() {
        config_.remove(L"Debug");
        noticeDebugSwitch();
    }
    test_config::ConfigValues& config() { return config_; }
    std::wstring todaysFile() const {
        SYSTEMTIME now;
        GetLocalTime(&now);
        wchar_t name[64];
        swprintf(name, 64, L"korvolog_debug%04u%02u%02u.log", unsigned(now.wYear), unsigned(now.wMonth),
                 unsigned(now.wDay));
        return root_ / (L"admin\\logs\\" + std::wstring(name));
    }
    std::wstring text() const {
        return test_log::utf16Text(test_support::readBytes(todaysFile()));
    }
    const test_support::TempDir& dir() const { return root_; }

private:
    test_support::TempDir root_;
    test_config::ConfigValues config_;
};

using test_log::recordsOf;

}  // namespace

TEST(LogFile, DebugRecordsCarryStampIdsAndLevelAfterOneByteOrderMark) {
    LogRoot root(true);
    LogManager::instance().log(Info, L"first %d", 1);
    LogManager::instance().log(Warning, L"second");
    LogManager::instance().log(Error, L"chain\n   at context(line 3)");
    const std::wstring text = root.text();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text[0], 0xFEFF);
    EXPECT_EQ(text.find(wchar_t(0xFEFF), 1), std::wstring::npos);
    bool parsed = false;
    EXPECT_EQ(recordsOf(text, &parsed),
              (std::vector<std::wstring>{L"Info: first 1", L"Warning: second", L"Error: chain\n   at context(line 3)"}));
    EXPECT_TRUE(parsed);
    const std::wstring pid = L" " + std::to_wstring(GetCurrentProcessId()) + L" " +
                             std::to_wstring(GetCurrentThreadId()) + L" Info: first 1\r\n";
    EXPECT_NE(text.find(pid), std::wstring::npos);
}

TEST(LogFile, SwitchesDecideWhatReachesTheFileAndFailuresStayInside) {
    {
        LogRoot root(false);
        Recorder recorder;
        LogManager::instance().log(Info, L"not in debug");
        LogManager::instance().log(Result, L"not in debug either");
        LogManager::instance().log(Unexpected, L"always");
        EXPECT_EQ(recordsOf(root.text()), std::vector<std::wstring>{L"Unexpected: always"});
        EXPECT_EQ(recorder.records.size(), 3u);  // handlers get every level
    }
    {
        LogRoot root(true);
        root.config().set(L"log_debug_enabled", DWORD{0});
        // Nor does it take the file's mutex: a record goes out while another
        // holder keeps the mutex, where a writer would wait for it.
        const RunTime::AutoHandle held(CreateMutexW(nullptr, TRUE, L"korvolog_debug_mutex"));
        ASSERT_TRUE(held.valid());
        auto logged = std::async(std::launch::async, [] { LogManager::instance().log(Error, L"file switched off"); });
        EXPECT_EQ(logged.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        ReleaseMutex(held.get());
        logged.wait();
        EXPECT_EQ(GetFileAttributesW(root.todaysFile().c_str()), INVALID_FILE_ATTRIBUTES);
    }
    {
        LogRoot root(true, false);  // no admin\logs: lost from the file only
        Recorder recorder;
        LogManager::instance().log(Error, L"nowhere to go");
        EXPECT_EQ(GetFileAttributesW((root.dir() / L"admin").c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(recorder.records, std::vector<std::wstring>{L"Error: nowhere to go"});
    }
    {
        test_config::ConfigValues config;
        config.remove(L"PRODUCT_ROOT_D");
        Recorder recorder;
        LogManager::instance().log(Crash, L"no root");
        EXPECT_EQ(recorder.records, std::vector<std::wstring>{L"Crash: no root"});
    }
}

TEST(ExecuteContext, ASecondModuleSharesTheContextSwitchesHandlersAndFile) {
    LogRoot root(true);
    Recorder recorder;
    ExecuteContext& own = executeContext();
    const std::uint64_t references = own.references;
    ASSERT_NE(GetProcAddress(GetModuleHandleW(nullptr), "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22"),
              nullptr);

    const HMODULE module = LoadLibraryW(test_process::siblingPath(L"rdmodule.dll").c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    const auto context = reinterpret_cast<ExecuteContext* (*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "rdmoduleContext")));
    const auto log =
        reinterpret_cast<void (*)(int, const wchar_t*)>(reinterpret_cast<void*>(GetProcAddress(module, "rdmoduleLog")));
    ASSERT_TRUE(context && log);
    EXPECT_EQ(context(), &own);
    EXPECT_EQ(own.references, references + 1);
    log(Info, L"from the module");
    EXPECT_EQ(recorder.records, std::vector<std::wstring>{L"Info: from the module"});
    EXPECT_EQ(recordsOf(root.text()), std::vector<std::wstring>{L"Info: from the module"});
    FreeLibrary(module);
    EXPECT_EQ(own.references, references);
}

TEST(EventLog, RegistrationWritesTheSourceAndKeepsAnExistingLog) {
    const std::wstring logKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Korvo";
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, logKey.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, logKey.c_str());
    LogRoot root(false);
    const auto agentFails = [] {
        const std::wstring agent = test_process::siblingPath(L"rundock.exe");
        return test_process::run(agent, test_process::commandLine(agent, {L"--bogus"})).exitCode;
    };
    const auto dword = [&](const std::wstring& key, const wchar_t* name) {
        DWORD value = 0xFFFFFFFF;
        registry::lookup(HKEY_LOCAL_MACHINE, key, name, value, registry::View::Native);
        return value;
    };
    ASSERT_EQ(agentFails(), 1u);  // its Error record registers the source
    EXPECT_EQ(dword(logKey, L"MaxSize"), 0x800000u);
    EXPECT_EQ(dword(logKey, L"Retention"), 0u);
    const std::wstring source = logKey + L"\\rundock.exe";
    EXPECT_EQ(dword(source, L"TypesSupported"), 7u);
    std::wstring messageFile;
    registry::lookup(HKEY_LOCAL_MACHINE, source, L"EventMessageFile", messageFile, REG_SZ, registry::View::Native);
    EXPECT_EQ(messageFile, root.dir() / L"admin\\bin64\\eventmsg.dll");

    HKEY log = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, logKey.c_str(), 0, KEY_SET_VALUE, &log), ERROR_SUCCESS);
    registry::set(log, L"MaxSize", DWORD{1234});
    RegCloseKey(log);
    ASSERT_EQ(agentFails(), 1u);
    EXPECT_EQ(dword(logKey, L"MaxSize"), 1234u);
}

namespace {

// The environment block of a task run whose files lie in directory.
std::wstring taskEnvironment(const std::wstring& directory) {
    test_support::writeBytes(directory + L"\\in.txt", "");
    return test_process::taskEnvironment(test_process::childTask(directory, L"exit 3"));
}

}  // namespace

TEST(LogFile, ThirtyTwoAgentsAtOnceLoseAndTearNoRecord) {
    LogRoot root(true);
    const std::wstring agent = test_process::siblingPath(L"rundock.exe");
    const auto runTask = [&](int index) {
        const std::wstring directory = root.dir() / (L"task" + std::to_wstring(index));
        CreateDirectoryW(directory.c_str(), nullptr);
        return test_process::run(agent, L"\"" + agent + L"\"", 120000, taskEnvironment(directory)).exitCode;
    };
    ASSERT_EQ(runTask(0), 0u);
    const std::size_t perRun = recordsOf(root.text()).size();
    ASSERT_GE(perRun, 3u);

    constexpr int kAgents = 32;
    std::vector<DWORD> codes(kAgents, 99);
    std::vector<std::thread> starters;
    for (int i = 1; i <= kAgents; ++i) starters.emplace_back([&, i] { codes[i - 1] = runTask(i); });
    for (std::thread& starter : starters) starter.join();
    EXPECT_EQ(codes, std::vector<DWORD>(kAgents, 0u));

    const std::wstring text = root.text();
    bool parsed = false;
    const std::vector<std::wstring> records = recordsOf(text, &parsed);
    EXPECT_TRUE(parsed);
    EXPECT_EQ(records.size(), perRun * (kAgents + 1));
    EXPECT_EQ(std::count(text.begin(), text.end(), wchar_t(0xFEFF)), 1);
}

// Info records reach the event log only in debug mode; a task run that goes
// well logs nothing else.
TEST(EventLog, InfoRecordsRegisterTheSourceOnlyInDebugMode) {
    const std::wstring sourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Korvo\\rundock.exe";
    const std::wstring agent = test_process::siblingPath(L"rundock.exe");
    for (const bool debug : {false, true}) {
        LogRoot root(debug);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, sourceKey.c_str());
        ASSERT_EQ(test_process::run(agent, L"\"" + agent + L"\"", 60000, taskEnvironment(root.dir().path())).exitCode,
                  0u);
        EXPECT_EQ(registry::keyExists(HKEY_LOCAL_MACHINE, sourceKey, registry::View::Native), debug);
    }
}

namespace {

struct Report {
    unsigned type = 0, category = 0, eventId = 0, strings = 0, dataSize = 0;
    bool userSid = false;
    std::vector<std::string> texts;  // as Wine prints them, backslashes doubled
    bool operator==(const Report&) const = default;
    friend void PrintTo(const Report& r, std::ostream* out) {
        *out << "{type " << r.type << ", category " << r.category << ", event " << r.eventId << ", "
             << r.strings << " strings, " << r.dataSize << " data bytes, " << (r.userSid ? "a" : "no") << " SID,"
             << testing::PrintToString(r.texts) << "}";
    }
};

// The ReportEventW calls in a Wine trace of channels "fixme+advapi,+eventlog":
// one line with the arguments, then one line per insertion string.
std::vector<Report> reportsIn(const std::vector<std::string>& trace) {
    static const std::regex call(
        R"(:ReportEventW \([0-9A-Fa-f]+,0x([0-9a-f]+),0x([0-9a-f]+),0x([0-9a-f]+),([0-9A-Fa-f]+),0x([0-9a-f]+),0x([0-9a-f]+),)");
    // Wine shortens long strings and splits them at line ends; ours are short
    // and single-line.
    static const std::regex text(R"re(:eventlog:ReportEventW L"(.*)"$)re");
    std::vector<Report> reports;
    for (const std::string& line : trace) {
        std::smatch match;
        if (std::regex_search(line, match, call)) {
            const auto hex = [&](int i) { return static_cast<unsigned>(std::stoul(match[i].str(), nullptr, 16)); };
            reports.push_back({hex(1), hex(2), hex(3), hex(5), hex(6), std::stoull(match[4].str(), nullptr, 16) != 0});
        } else if (std::regex_search(line, match, text) && !reports.empty()) {
            reports.back().texts.push_back(match[1].str());
        }
    }
    return reports;
}

}  // namespace

// Wine's ReportEventW stores nothing, but its trace shows every call: each
// level goes out with its own event type, category 0, event 1, the text and
// the program's path; Info, Warning and Result only in debug mode.
TEST(EventLog, EachLevelIsReportedWithItsEventType) {
    const std::wstring program = test_process::siblingPath(L"rdlog.exe");
    std::string path = cstr(program, CP_UTF8);
    for (std::size_t at = 0; (at = path.find('\\', at)) != std::string::npos; at += 2) path.insert(at, 1, '\\');
    const auto report = [&](unsigned type, const char* text) { return Report{type, 0, 1, 2, 0, false, {text, path}}; };
    const std::vector<std::wstring> records{L"0", L"info", L"1", L"warning", L"2", L"result",
                                            L"3", L"error", L"4", L"unexpected", L"5", L"crash"};
    for (const bool debug : {true, false}) {
        SCOPED_TRACE(debug ? "Debug on" : "Debug off");
        LogRoot root(debug);
        const std::vector<std::string> trace =
            test_wine::trace(L"fixme+advapi,+eventlog", program, records, root.dir() / L"trace.txt");
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(trace.back(), "exit 0");
        std::vector<Report> expected{report(EVENTLOG_ERROR_TYPE, "error"), report(EVENTLOG_ERROR_TYPE, "unexpected"),
                                     report(EVENTLOG_ERROR_TYPE, "crash")};
        if (debug)
            expected.insert(expected.begin(), {report(EVENTLOG_INFORMATION_TYPE, "info"),
                                               report(EVENTLOG_WARNING_TYPE, "warning"),
                                               report(EVENTLOG_SUCCESS, "result")});
        EXPECT_EQ(reportsIn(trace), expected);
    }
}

// The event source is registered once, though threads log their first
// records at the same moment, and each record is reported through it.
TEST(EventLog, ThreadsLoggingAtOnceShareOneRegistration) {
    constexpr int kThreads = 8;
    LogRoot root(false);
    const std::vector<std::string> trace =
        test_wine::trace(L"+eventlog", test_process::siblingPath(L"rdlog.exe"),
                         {L"threads", std::to_wstring(kThreads), L"3", L"error"}, root.dir() / L"trace.txt");
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back(), "exit 0");
    const auto calls = [&](const char* function) {
        return std::count_if(trace.begin(), trace.end(),
                             [&](const std::string& line) { return line.find(function) != std::string::npos; });
    };
    EXPECT_EQ(calls(":RegisterEventSourceW"), 1);
    EXPECT_EQ(calls(":ReportEventW ("), kThreads);
}

// As Event Viewer renders an entry: the message file loaded as data, event 1
// formatted with the record's two insert strings.
TEST(EventMessageFile, RendersEventOneWithTheTextThenTheProgram) {
    const HMODULE file = LoadLibraryExW(test_process::siblingPath(L"eventmsg.dll").c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(file, nullptr) << GetLastError();
    // A % in a record's text is text, not an insert.
    const wchar_t* inserts[] = {L"Unable to execute command: '100%'\n   at run", L"C:\\Korvo\\admin\\bin64\\rundock.exe"};
    DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(inserts[0]), reinterpret_cast<DWORD_PTR>(inserts[1])};
    wchar_t* rendered = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER, file,
        LogManager::kEventId, 0, reinterpret_cast<wchar_t*>(&rendered), 0, reinterpret_cast<va_list*>(arguments));
    const DWORD error = GetLastError();
    const std::wstring text = length ? std::wstring(rendered, length) : std::wstring();
    LocalFree(rendered);
    FreeLibrary(file);
    ASSERT_NE(length, 0u) << error;
    EXPECT_EQ(text, std::wstring(inserts[0]) + L"\r\n\r\nProgram: " + inserts[1]);
}
