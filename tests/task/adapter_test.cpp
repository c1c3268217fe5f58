// The task run's sequence, validation and failures, through one substitute.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "errors/format.h"
#include "runtime/text.h"
#include "task/adapter.h"
#include "tests/support/raised.h"

namespace {

// Every call is written down; the call named failAt throws an OS error.
struct Fake : Rundock::ISystemHelper, Rundock::IProcessHelper {
    EnvironmentMap environment = {
        {L"RD_CMD_BINARY", L"C:\\bin\\child.exe"}, {L"RD_CMD_ARGS", L"-v --password=hunter2"},
        {L"RD_STDIN", L"C:\\t\\in"},   {L"RD_STDOUT", L"C:\\t\\out"},  {L"RD_STDERR", L"C:\\t\\err"},
        {L"RD_PID", L"C:\\t\\pid"},    {L"RD_EXIT_CODE", L"C:\\t\\exit"}, {L"RD_TIMEOUT", L"10"}};
    std::vector<std::wstring> calls;
    std::wstring failAt;
    std::vector<bool> waitAnswers;  // one per wait, the last repeated
    std::size_t waits = 0;

    explicit Fake(std::vector<bool> answers = {true}, std::wstring failing = L"")
        : failAt(std::move(failing)), waitAnswers(std::move(answers)) {}
    void record(const std::wstring& call, const std::wstring& name) {
        calls.push_back(call);
        if (name == failAt) throwOsError(L"CreateFile", 5, raiseSite("fake", 1));
    }
    EnvironmentMap getEnv() override { return record(L"getEnv", L"getEnv"), environment; }
    void writeFile(const std::wstring& path, const std::string& content) override {
        record(L"writeFile(" + path + L", " + wstr(content, 0) + L")", L"writeFile:" + path);
    }
    std::shared_ptr<IProcessHelper> createTask(const std::wstring& program, const std::wstring& arguments,
                                               const std::wstring& in, const std::wstring& out,
                                               const std::wstring& err) override {
        record(L"createTask(" + program + L"|" + arguments + L"|" + in + L"|" + out + L"|" + err + L")", L"createTask");
        return std::shared_ptr<IProcessHelper>(std::shared_ptr<void>(), this);  // not owned
    }
    void start() override { record(L"start", L"start"); }
    std::uint32_t getPid() override { return record(L"getPid", L"getPid"), 4711; }
    bool waitForExit(std::uint32_t ms) override {
        record(formatString(L"waitForExit(%lu)", ms), L"waitForExit");
        return waitAnswers.at(std::min(waits++, waitAnswers.size() - 1));
    }
    std::uint32_t getExitCode() override { return record(L"getExitCode", L"getExitCode"), 0xC0000005; }
    void terminate(std::uint32_t code) override { record(formatString(L"terminate(%lu)", code), L"terminate"); }
};

// The rendered error of the run.
std::wstring runTask(const std::shared_ptr<Fake>& fake) {
    return test_support::messageOf<vexception>([&] { Rundock::Adapter(fake).runTask(); }, fullMessage);
}

const std::wstring kCreate = L"createTask(C:\\bin\\child.exe|-v --password=hunter2|C:\\t\\in|C:\\t\\out|C:\\t\\err)";

std::vector<std::wstring> startCallsThen(std::vector<std::wstring> more) {
    more.insert(more.begin(),
                {L"getEnv", kCreate, L"start", L"getPid", L"writeFile(C:\\t\\pid, 4711)", L"waitForExit(10000)"});
    return more;
}

}  // namespace

// The first undefined variable (absent, empty or blank) in the contract's order is reported and stops the run before
// anything starts, as does a timeout that wcstoul reads as 0. Other timeouts are read as wcstoul reads them, and the
// wait never wraps into a short one nor becomes infinite.
TEST(TaskRun, VariablesAreCheckedInOrderAndTheTimeoutBecomesTheWait) {
    // The variable, its value (null: absent), and the error's message and line, or the wait (line 0).
    std::vector<std::tuple<std::wstring, const wchar_t*, std::wstring, int>> rows;
    const std::vector<std::wstring> order{L"RD_CMD_BINARY", L"RD_STDIN",     L"RD_STDOUT", L"RD_STDERR",
                                          L"RD_PID",        L"RD_EXIT_CODE", L"RD_TIMEOUT"};
    for (const std::wstring& name : order)
        for (const wchar_t* value : {static_cast<const wchar_t*>(nullptr), L"", L" \t\r\n"})
            rows.emplace_back(name, value, L"Environment variable " + name + L" is undefined", 39);
    for (const wchar_t* value : {L"0", L"abc", L"0x10"})
        rows.emplace_back(L"RD_TIMEOUT", value,
                          formatString(L"Invalid environment variable RD_TIMEOUT value '%s'", value), 45);
    for (const auto& [value, wait] : {std::pair{L" \t+7abc", L"7000"}, std::pair{L"4294967", L"4294967000"},
                                      std::pair{L"4294968", L"4294967294"}, std::pair{L"-1", L"4294967294"}})
        rows.emplace_back(L"RD_TIMEOUT", value, std::wstring(L"waitForExit(") + wait + L")", 0);
    for (const auto& [variable, value, outcome, line] : rows) {
        SCOPED_TRACE(testing::PrintToString(variable + L"=" + (value ? value : L"<absent>")));
        const auto fake = std::make_shared<Fake>();
        fake->environment.erase(variable);
        if (value) fake->environment[variable] = value;
        // Every later variable missing too changes nothing; names match in any case.
        if (line == 39)
            for (auto later = std::find(order.begin(), order.end(), variable) + 1; later != order.end(); ++later)
                fake->environment.erase(L"r" + later->substr(1));
        const std::wstring error = runTask(fake);
        if (line == 0) {
            EXPECT_EQ(fake->calls.at(5), outcome);
        } else {
            EXPECT_EQ(error, outcome + L"\n   at (Rundock::Adapter::runTask line " + std::to_wstring(line) +
                                 L")\n   at runTask()(Rundock::Adapter::runTask line 50)");
            EXPECT_EQ(fake->calls, std::vector<std::wstring>{L"getEnv"});
        }
    }
}

// The call that fails (none: the run succeeds), the waits' answers (the last repeated) and the calls made. The child's
// code is written unsigned, even when it ended just before its termination.
TEST(TaskRun, PidThenTheChildsCodeUnsignedAndEachFailureLeavesTheResultFilesAsTheSchedulerExpects) {
    const std::wstring written = L"writeFile(C:\\t\\exit, 3221225477)";
    const std::tuple<std::wstring, std::vector<bool>, std::vector<std::wstring>> rows[] = {
        {L"", {true}, startCallsThen({L"getExitCode", written})},
        {L"terminate", {false, true}, startCallsThen({L"terminate(1460)", L"waitForExit(0)", L"getExitCode", written})},
        // Ended at its timeout and still going down when the wait for that gives up: 1460 is recorded, ours.
        {L"", {false, false}, startCallsThen({L"terminate(1460)", L"waitForExit(5000)", L"writeFile(C:\\t\\exit, 1460)"})},
        {L"createTask", {true}, {L"getEnv", kCreate}}, {L"start", {true}, {L"getEnv", kCreate, L"start"}},
        // After the start, a child that still runs is ended rather than left running unwatched (and, when its PID file
        // cannot be written, beyond anyone's reach).
        {L"waitForExit", {true}, startCallsThen({L"waitForExit(0)", L"terminate(1223)"})},
        {L"getExitCode", {true}, startCallsThen({L"getExitCode", L"waitForExit(0)"})},
        // Termination fails and the child still runs: the failure stands.
        {L"terminate", {false},
         startCallsThen({L"terminate(1460)", L"waitForExit(0)", L"waitForExit(0)", L"terminate(1223)"})},
    };
    for (const auto& [failing, answers, calls] : rows) {
        const auto fake = std::make_shared<Fake>(answers, failing);
        const std::wstring error = runTask(fake);
        EXPECT_EQ(fake->calls, calls) << failing;
        // The contexts on the way out are the operations' own, pinned with the real helpers.
        if (calls.back().starts_with(L"writeFile(C:\\t\\exit"))
            EXPECT_EQ(error, L"(no failure)");
        else
            EXPECT_NE(error.find(L"(Error code 5) at CreateFile\n   at (fake line 1)\n"), std::wstring::npos) << error;
        EXPECT_EQ(error.find(L"hunter2"), std::wstring::npos);
    }
}
