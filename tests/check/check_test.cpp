// rundock-check against installations made for it: a good one, each problem alone, its JSON, and that it changes
// nothing. The check runs from admin\bin64 of the installation, as installed.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <map>
#include <ostream>
#include <set>

#include "runtime/text.h"
#include "tests/support/config_key.h"
#include "tests/support/platform.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wine_trace.h"

namespace {

struct Line {
    std::string verdict, check, text;
    bool operator==(const Line&) const = default;
    friend void PrintTo(const Line& line, std::ostream* out) { *out << line.verdict << " " << line.check << ": " << line.text; }
};

struct Result {
    DWORD exitCode;
    std::vector<Line> lines;
    // The line of check; an empty one when it printed none.
    Line of(const std::string& check) const {
        for (const Line& line : lines)
            if (line.check == check) return line;
        return {};
    }
};

std::string trimmed(const std::string& text) { return text.substr(0, text.find_last_not_of(' ') + 1); }

// The text form: verdict in 8 columns, check in 14, a blank, the text.
std::vector<Line> textLines(const std::string& output) {
    std::vector<Line> lines;
    for (std::size_t at = 0, end; (end = output.find("\r\n", at)) != std::string::npos; at = end + 2)
        if (end - at > 23) lines.push_back({trimmed(output.substr(at, 8)), trimmed(output.substr(at + 8, 14)),
                         output.substr(at + 23, end - at - 23)});
    return lines;
}

// The JSON form's strings, in order, unescaped (the check writes no \u escape but for control characters).
std::vector<std::string> jsonStrings(const std::string& json) {
    std::vector<std::string> strings;
    for (std::size_t at = json.find('"'); at != std::string::npos; at = json.find('"', at + 1)) {
        std::string text;
        for (++at; json.at(at) != '"'; ++at) {
            if (json[at] != '\\') {
                text += json[at];
            } else if (json[++at] == 'u') {
                text += char(std::stoi(json.substr(at + 1, 4), nullptr, 16));
                at += 4;
            } else {
                text += json[at];
            }
        }
        strings.push_back(text);
    }
    return strings;
}

class Installation {
public:
    Installation() {
        for (const wchar_t* folder : {L"admin", L"admin\\bin", L"admin\\bin64", L"admin\\logs"})
            CreateDirectoryW((root_ / folder).c_str(), nullptr);
        install(L"rundock-check.exe", L"admin\\bin64\\rundock-check.exe");
        install(L"eventmsg.dll", L"admin\\bin64\\eventmsg.dll");
        install(L"rdsender.exe", L"admin\\bin\\send-error-report.exe");
        config_.set(L"PRODUCT_ROOT_D", root_.path());
        for (const wchar_t* name : {L"Debug", L"log_debug_enabled", L"SendFeedback", L"CrashDumpsEnabled",
                                    L"CrashDumpsLocation", L"CrashDumpsMaxCount", L"opentracing_enabled"})
            config_.remove(name);
    }
    void install(const std::wstring& built, const std::wstring& name) {
        ASSERT_TRUE(CopyFileW(test_process::siblingPath(built).c_str(), path(name).c_str(), FALSE));
    }
    std::wstring path(const std::wstring& name) const { return root_ / name; }
    std::wstring check() const { return path(L"admin\\bin64\\rundock-check.exe"); }
    test_config::ConfigValues& config() { return config_; }
    test_config::ConfigValues& config64() { return config64_; }

    Result run(const std::vector<std::wstring>& arguments = {}) const {
        const auto process = test_process::run(check(), test_process::commandLine(check(), arguments));
        return {process.exitCode, textLines(process.output)};
    }
    std::string json() const { return test_process::run(check(), test_process::commandLine(check(), {L"--json"})).output; }

    // Every path below the root, folders marked with a trailing '\'.
    std::set<std::wstring> tree(const std::wstring& below = L"") const {
        std::set<std::wstring> entries;
        for (const bool folders : {false, true})
            for (const std::wstring& name : test_support::fileNames(path(below + L"*"), folders)) {
                entries.insert(below + name + (folders ? L"\\" : L""));
                if (folders) entries.merge(tree(below + name + L"\\"));
            }
        return entries;
    }

private:
    test_support::TempDir root_{L"rdcheck-"};
    test_config::ConfigValues config_;
    test_config::ConfigValues config64_{KEY_WOW64_64KEY};
};

}  // namespace

// A good installation: nothing stops the agent, whatever the account and the free space (those are warnings at most).
TEST(InstallationCheck, GoodInstallationHasNoProblemAndEachProblemAloneNamesWhatToMend) {
    {
        Installation good;
        const Result result = good.run();
        EXPECT_EQ(result.exitCode, 0u);
        for (const Line& line : result.lines) EXPECT_NE(line.verdict, "problem") << line.check << ": " << line.text;
        for (const char* check : {"configuration", "root", "log file", "log folder", "message file", "reports"})
            EXPECT_EQ(result.of(check).verdict, "ok") << check;
        EXPECT_EQ(result.of("tracing").verdict, "info");
    }
    struct Broken {
        const char* what;
        std::function<void(Installation&)> make;
        std::string check;
        std::wstring named;  // what the text names, under the root unless it is a value's name
    };
    const std::vector<Broken> cases = {
        {"root missing", [](Installation& i) { i.config().remove(L"PRODUCT_ROOT_D"); }, "root", L"PRODUCT_ROOT_D"},
        {"root in the 64-bit view only", [](Installation& i) {
             i.config64().set(L"PRODUCT_ROOT_D", i.path(L""));
             i.config().remove(L"PRODUCT_ROOT_D");
         }, "root", L"only in the 64-bit view"},
        {"message file missing", [](Installation& i) { DeleteFileW(i.path(L"admin\\bin64\\eventmsg.dll").c_str()); },
         "message file", L"admin\\bin64\\eventmsg.dll"},
        {"log folder a file", [](Installation& i) {
             RemoveDirectoryW(i.path(L"admin\\logs").c_str());
             test_support::writeBytes(i.path(L"admin\\logs"), "");
         }, "log folder", L"admin\\logs is a file"},
        {"provider on but absent", [](Installation& i) { i.config().set(L"opentracing_enabled", DWORD{1}); },
         "tracing", L"admin\\bin64\\opentracingprovider.dll"},
        {"provider without an entry point", [](Installation& i) {
             i.config().set(L"opentracing_enabled", DWORD{1});
             i.install(L"rdprovider_partial.dll", L"admin\\bin64\\opentracingprovider.dll");
         }, "tracing", L"OpenTracingProviderInjectCurrentSpan"},
        {"sender missing", [](Installation& i) { DeleteFileW(i.path(L"admin\\bin\\send-error-report.exe").c_str()); },
         "reports", L"admin\\bin\\send-error-report.exe"},
    };
    for (const Broken& broken : cases) {
        Installation installation;
        broken.make(installation);
        const Result result = installation.run();
        EXPECT_EQ(result.exitCode, 1u) << broken.what;
        std::vector<std::string> problems;
        for (const Line& line : result.lines)
            if (line.verdict == "problem") problems.push_back(line.check);
        // The root's absence leaves the checks that need it unchecked, not failed.
        EXPECT_EQ(problems, std::vector<std::string>{broken.check}) << broken.what;
        EXPECT_NE(wstr(result.of(broken.check).text, CP_UTF8).find(broken.named), std::wstring::npos)
            << broken.what << ": " << result.of(broken.check).text;
    }
}

TEST(InstallationCheck, JsonHoldsTheTextsVerdictsAndAWholeProvider) {
    Installation installation;
    installation.config().set(L"opentracing_enabled", DWORD{1});
    installation.install(L"rdprovider.dll", L"admin\\bin64\\opentracingprovider.dll");
    installation.config().set(L"log_debug_enabled", DWORD{0});
    const Result text = installation.run();
    EXPECT_EQ(text.of("tracing").verdict, "ok");
    EXPECT_EQ(text.of("log file").verdict, "warning");
    const std::vector<std::string> strings = jsonStrings(installation.json());
    ASSERT_EQ(strings.size(), 2 + 6 * text.lines.size());
    EXPECT_EQ(strings[0], "exitCode");
    EXPECT_EQ(strings[1], "checks");
    std::vector<Line> json;
    for (std::size_t at = 2; at < strings.size(); at += 6) {
        EXPECT_EQ(strings[at] + strings[at + 2] + strings[at + 4], "checkverdicttext");
        json.push_back({strings[at + 3], strings[at + 1], strings[at + 5]});
    }
    // The free space may change between the two runs.
    std::vector<Line> lines = text.lines;
    for (std::vector<Line>* form : {&json, &lines})
        for (Line& line : *form)
            if (line.check == "dump space") line.text.clear();
    EXPECT_EQ(json, lines);
    EXPECT_NE(installation.json().find("\"exitCode\":0,"), std::string::npos);
}

// Wine's +reg trace shows every key created and every value set. Wine's own process set-up makes keys of its own (the
// user's environment, the time zone), so the trace is searched for the keys and values of the agent.
TEST(InstallationCheck, ChangesNoKeyNoValueAndLeavesNoFileOrFolder) {
    if (!test_support::runningUnderWine()) GTEST_SKIP() << "reads Wine's registry trace";
    Installation installation;
    installation.config().set(L"CrashDumpsLocation", installation.path(L"dumps"));
    installation.config().set(L"opentracing_enabled", DWORD{1});
    const std::set<std::wstring> before = installation.tree();
    test_support::TempDir traceDir(L"rdchecktrace-");
    const std::vector<std::string> trace = test_wine::trace(L"+reg", installation.check(), {}, traceDir / L"trace.txt");
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back(), "exit 1");  // the provider is missing
    std::size_t reads = 0;
    for (const std::string& line : trace) {
        reads += line.find("NtQueryValueKey") != std::string::npos && line.find("PRODUCT_ROOT_D") != std::string::npos;
        const bool writes = line.find("NtCreateKey (") != std::string::npos ||
                            line.find("NtSetValueKey (") != std::string::npos ||
                            line.find("NtDelete") != std::string::npos;
        for (const char* ours : {"Korvo", "EventLog", "rundock", "PRODUCT_", "Crash", "Types", "MaxSize", "Retention"})
            EXPECT_FALSE(writes && line.find(ours) != std::string::npos) << line;
    }
    EXPECT_GT(reads, 0u);  // the trace does show the check's own reads
    EXPECT_EQ(installation.tree(), before);
}
