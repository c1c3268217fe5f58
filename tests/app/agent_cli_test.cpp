// The agent as the scheduler sees it: a process started with a command line,
// judged by what it prints and its exit code.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "exec/quoting.h"
#include "tests/support/agent_run.h"

using reliability::TaskRun;

namespace {

// What the agent printed, its text-mode line ends made plain.
std::string printed(std::string output) {
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    return output;
}

}  // namespace

TEST(AgentCommandLine, HelpPrintsOnlyTheUsageWhateverFollows) {
    TaskRun task;
    const auto run = task.run(60000, {L"--help", L"anything=1", L"x"});
    EXPECT_EQ(run.exitCode, 0u);
    // Exact: the Info start and end records are not echoed.
    EXPECT_EQ(printed(run.output), "\nusage: rundock [options] ...\n\n\n--help\n\n--run-task\n");
}

// Commands match whole and case-sensitively; an empty first argument, or one
// with "=", is still the command; a password never reaches the output.
TEST(AgentCommandLine, UnknownCommandEchoesItsErrorChainMasked) {
    const std::pair<std::vector<std::wstring>, std::string> rows[] = {
        {{L"--HELP"}, "--HELP"},
        {{L"--help2", L"x=1", L"y"}, "--help2"},
        {{L""}, ""},
        {{L"a=b"}, "a=b"},
        {{L"--pwd=hunter2"}, "\"--pwd=*\""},
        {{L"--Help", L"password=hunter2", L"PWD=hunter2", L"userPassWord=hunter2"}, "--Help"},
    };
    TaskRun task;
    for (const auto& [arguments, shown] : rows) {
        const auto run = task.run(60000, arguments);
        SCOPED_TRACE(cstr(run.commandLine, CP_UTF8));
        EXPECT_EQ(run.exitCode, 1u);
        const std::string expected =
            "command " + shown + " not supported. Possible commands:\n   --help\n   --run-task\n   at "
            "(vconsoleapp::cmdNotSupported line 56)\n   at Unable to execute console command: '" +
            cstr(maskArgument(arguments.front()), CP_UTF8) + "'(vconsoleapp::start line 95)\n   at Unable to "
            "execute command: '" + cstr(maskSecrets(run.commandLine), CP_UTF8) + "'(vconsoleapp::run line 117)";
        EXPECT_EQ(printed(run.output), expected);
        EXPECT_EQ(run.output.find("hunter2"), std::string::npos);
    }
}
