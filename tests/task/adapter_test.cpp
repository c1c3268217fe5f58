// The task run's sequence, validation and failure rows, driven through
// substitute helpers.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include "errors/format.h"
#include "runtime/text.h"
#include "task/adapter.h"

using Rundock::Adapter;

namespace {

struct Script {
    std::vector<std::wstring> calls;
    std::map<std::wstring, std::function<void()>> failAt;  // call name -> what it throws
    std::vector<bool> waitAnswers{true};                   // one per waitForExit call
    std::uint32_t exitCode = 5;

    void record(const std::wstring& call, const std::wstring& name) {
        calls.push_back(call);
        const auto found = failAt.find(name);
        if (found != failAt.end()) found->second();
    }
};

class FakeProcess : public Rundock::IProcessHelper {
public:
    explicit FakeProcess(Script& script) : script_(script) {}
    void start() override { script_.record(L"start", L"start"); }
    std::uint32_t getPid() override {
        script_.record(L"getPid", L"getPid");
        return 4711;
    }
    bool waitForExit(std::uint32_t ms) override {
        script_.record(formatString(L"waitForExit(%lu)", ms), L"waitForExit");
        const bool answer = script_.waitAnswers.at(waits_);
        if (waits_ + 1 < script_.waitAnswers.size()) ++waits_;
        return answer;
    }
    std::uint32_t getExitCode() override {
        script_.record(L"getExitCode", L"getExitCode");
        return script_.exitCode;
    }
    void terminate(std::uint32_t code) override { script_.record(formatString(L"terminate(%lu)", code), L"terminate"); }

private:
    Script& script_;
    std::size_t waits_ = 0;
};

class FakeSystem : public Rundock::ISystemHelper {
public:
    explicit FakeSystem(Script& script) : script_(script) {}
    EnvironmentMap environment;

    EnvironmentMap getEnv() override {
        script_.record(L"getEnv", L"getEnv");
        return environment;
    }
    void writeFile(const std::wstring& path, const std::string& content) override {
        script_.record(L"writeFile(" + path + L", " + wstr(content, 0) + L")", L"writeFile:" + path);
    }
    std::shared_ptr<Rundock::IProcessHelper> createTask(const std::wstring& program, const std::wstring& arguments,
                                                        const std::wstring& in, const std::wstring& out,
                                                        const std::wstring& err) override {
        script_.record(L"createTask(" + program + L"|" + arguments + L"|" + in + L"|" + out + L"|" + err + L")",
                       L"createTask");
        return std::make_shared<FakeProcess>(script_);
    }

private:
    Script& script_;
};

EnvironmentMap taskEnvironment() {
    EnvironmentMap environment;
    environment[L"RD_CMD_BINARY"] = L"C:\\bin\\child.exe";
    environment[L"RD_CMD_ARGS"] = L"-v --password=hunter2";
    environment[L"RD_STDIN"] = L"C:\\t\\in";
    environment[L"RD_STDOUT"] = L"C:\\t\\out";
    environment[L"RD_STDERR"] = L"C:\\t\\err";
    environment[L"RD_PID"] = L"C:\\t\\pid";
    environment[L"RD_EXIT_CODE"] = L"C:\\t\\exit";
    environment[L"RD_TIMEOUT"] = L"10";
    environment[L"UNRELATED"] = L"x";
    return environment;
}

struct TaskDriver {
    Script script;
    std::shared_ptr<FakeSystem> system = std::make_shared<FakeSystem>(script);
    TaskDriver() { system->environment = taskEnvironment(); }
    void go() { Adapter(system).runTask(); }
    // Runs and returns the rendered error; empty when nothing was thrown.
    std::wstring fails() {
        try {
            go();
        } catch (const vexception& e) {
            return fullMessage(e);
        }
        return std::wstring();
    }
};

[[noreturn]] void osFailure() { throwOsError(L"CreateFile", 5, raiseSite("fake", 1)); }

const std::vector<std::wstring> kStartCalls = {
    L"getEnv", L"createTask(C:\\bin\\child.exe|-v --password=hunter2|C:\\t\\in|C:\\t\\out|C:\\t\\err)", L"start",
    L"getPid", L"writeFile(C:\\t\\pid, 4711)", L"waitForExit(10000)"};

std::vector<std::wstring> startCallsThen(std::vector<std::wstring> more) {
    std::vector<std::wstring> calls = kStartCalls;
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
}

}  // namespace

TEST(TaskRun, FinishedChildRecordsPidThenItsExitCode) {
    TaskDriver run;
    run.go();
    EXPECT_EQ(run.script.calls, startCallsThen({L"getExitCode", L"writeFile(C:\\t\\exit, 5)"}));
}

TEST(TaskRun, TimeoutRecords1460WithoutASecondWait) {
    TaskDriver run;
    run.script.waitAnswers = {false};
    run.go();
    EXPECT_EQ(run.script.calls, startCallsThen({L"terminate(1460)", L"writeFile(C:\\t\\exit, 1460)"}));
}

TEST(TaskRun, CrashCodeIsWrittenUnsigned) {
    TaskDriver run;
    run.script.exitCode = 0xC0000005;
    run.go();
    EXPECT_EQ(run.script.calls.back(), L"writeFile(C:\\t\\exit, 3221225477)");
}

TEST(TaskRun, RequiredVariablesAreCheckedInOrderAndNothingStarts) {
    const wchar_t* order[] = {L"RD_CMD_BINARY", L"RD_STDIN", L"RD_STDOUT", L"RD_STDERR",
                              L"RD_PID",        L"RD_EXIT_CODE", L"RD_TIMEOUT"};
    for (const wchar_t* name : order) {
        // Absent, empty, and blanks only: none of them names anything.
        for (const wchar_t* value : {static_cast<const wchar_t*>(nullptr), L"", L" \t "}) {
            TaskDriver run;
            if (value)
                run.system->environment[name] = value;
            else
                run.system->environment.erase(name);
            const std::wstring error = run.fails();
            EXPECT_EQ(error, formatString(L"Environment variable %s is undefined", name) +
                                 L"\n   at (Rundock::Adapter::runTask line 39)"
                                 L"\n   at runTask()(Rundock::Adapter::runTask line 50)");
            EXPECT_EQ(run.script.calls, std::vector<std::wstring>{L"getEnv"});
        }
    }
    TaskDriver two;
    two.system->environment.erase(L"RD_PID");
    two.system->environment.erase(L"RD_STDOUT");
    EXPECT_EQ(two.fails().rfind(L"Environment variable RD_STDOUT is undefined", 0), 0u);
}

TEST(TaskRun, ArgumentsMayBeAbsentAndNamesMatchInAnyCase) {
    TaskDriver run;
    run.system->environment.clear();
    for (const auto& [name, value] : taskEnvironment()) {
        std::wstring lower = name;
        for (wchar_t& c : lower) c = static_cast<wchar_t>(towlower(c));
        if (name != L"RD_CMD_ARGS") run.system->environment[lower] = value;
    }
    run.go();
    EXPECT_EQ(run.script.calls.at(1), L"createTask(C:\\bin\\child.exe||C:\\t\\in|C:\\t\\out|C:\\t\\err)");
}

TEST(TaskRun, TimeoutTextFollowsWcstoulAndNeverWrapsOrBecomesInfinite) {
    const std::map<std::wstring, std::wstring> valid = {
        {L"10abc", L"waitForExit(10000)"},       {L" \t7", L"waitForExit(7000)"},
        {L"+3", L"waitForExit(3000)"},           {L"4294967", L"waitForExit(4294967000)"},
        {L"4294968", L"waitForExit(4294967294)"}, {L"99999999999", L"waitForExit(4294967294)"},
        {L"-1", L"waitForExit(4294967294)"},      {L"0010", L"waitForExit(10000)"}};
    for (const auto& [text, wait] : valid) {
        TaskDriver run;
        run.system->environment[L"RD_TIMEOUT"] = text;
        run.go();
        EXPECT_EQ(run.script.calls.at(5), wait) << text;
    }
    for (const std::wstring text : {L"0", L"abc", L"-0", L"0x10", L"00"}) {
        TaskDriver run;
        run.system->environment[L"RD_TIMEOUT"] = text;
        EXPECT_EQ(run.fails(), L"Invalid environment variable RD_TIMEOUT value '" + text +
                                   L"'\n   at (Rundock::Adapter::runTask line 45)"
                                   L"\n   at runTask()(Rundock::Adapter::runTask line 50)");
        EXPECT_EQ(run.script.calls, std::vector<std::wstring>{L"getEnv"});
    }
}

TEST(TaskRun, EachFailureLeavesTheResultFilesAsTheSchedulerExpects) {
    struct Row {
        std::wstring failing;
        std::vector<bool> waits;
        std::vector<std::wstring> calls;
    };
    const std::wstring create = kStartCalls[1];
    const std::vector<Row> rows = {
        {L"createTask", {true}, {L"getEnv", create}},
        {L"start", {true}, {L"getEnv", create, L"start"}},
        // After the start, a child that still runs is ended rather than left
        // running unwatched (and, without a PID file, beyond anyone's reach).
        {L"writeFile:C:\\t\\pid",
         {false},
         {L"getEnv", create, L"start", L"getPid", L"writeFile(C:\\t\\pid, 4711)", L"waitForExit(0)",
          L"terminate(1223)"}},
        {L"waitForExit", {true}, startCallsThen({L"waitForExit(0)", L"terminate(1223)"})},
        {L"getExitCode", {true}, startCallsThen({L"getExitCode", L"waitForExit(0)"})},
        // Termination fails and the child still runs: the failure stands.
        {L"terminate",
         {false, false},
         startCallsThen({L"terminate(1460)", L"waitForExit(0)", L"waitForExit(0)", L"terminate(1223)"})},
        {L"writeFile:C:\\t\\exit", {true}, startCallsThen({L"getExitCode", L"writeFile(C:\\t\\exit, 5)"})},
    };
    for (const Row& row : rows) {
        TaskDriver run;
        run.script.waitAnswers = row.waits;
        run.script.failAt[row.failing] = osFailure;
        const std::wstring error = run.fails();
        EXPECT_NE(error.find(L"(Error code 5) at CreateFile\n   at (fake line 1)\n   at runTask(C:\\bin\\child.exe, "
                             L"-v \"--password=*\", C:\\t\\in, C:\\t\\out, C:\\t\\err, C:\\t\\pid, C:\\t\\exit, "
                             L"10)(Rundock::Adapter::runTask line 74)\n   at runTask()(Rundock::Adapter::runTask "
                             L"line 50)"),
                  std::wstring::npos)
            << row.failing << L": " << error;
        EXPECT_EQ(error.find(L"hunter2"), std::wstring::npos);
        EXPECT_EQ(run.script.calls, row.calls) << row.failing;
    }
}

TEST(TaskRun, ChildThatEndedBeforeItsTerminationKeepsItsOwnCode) {
    TaskDriver run;
    run.script.waitAnswers = {false, true};
    run.script.exitCode = 0;
    run.script.failAt[L"terminate"] = osFailure;
    run.go();
    EXPECT_EQ(run.script.calls, startCallsThen({L"terminate(1460)", L"waitForExit(0)", L"getExitCode",
                                                L"writeFile(C:\\t\\exit, 0)"}));
}

TEST(TaskRun, WaitMillisecondsClampBelowInfinite) {
    EXPECT_EQ(Adapter::waitMilliseconds(1), 1000u);
    EXPECT_EQ(Adapter::waitMilliseconds(4294967), 4294967000u);
    EXPECT_EQ(Adapter::waitMilliseconds(4294968), 0xFFFFFFFEu);
    EXPECT_EQ(Adapter::waitMilliseconds(0xFFFFFFFFu), 0xFFFFFFFEu);
}
