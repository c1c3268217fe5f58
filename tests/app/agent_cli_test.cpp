// The agent as the scheduler sees it: a process started with a command line, judged by what it prints and its exit
// code; and the parameter rules it checks its command line with.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "app/consoleapp.h"
#include "app/manager.h"
#include "errors/vexception.h"
#include "exec/quoting.h"
#include "tests/support/agent_run.h"
#include "tests/support/raised.h"

using reliability::TaskRun;

namespace {

// What the agent printed, its text-mode line ends made plain.
std::string printed(std::string output) {
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    return output;
}

using Values = std::map<std::wstring, std::wstring>;

// Params reads a mutable argv slice; the strings live beside it.
Params parse(std::vector<std::wstring> strings) {
    std::vector<wchar_t*> pointers;
    for (std::wstring& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return Params(static_cast<int>(strings.size()), pointers.data());
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
        {{L"--HELP"}, "--HELP"}, {{L"--help2", L"x=1", L"y"}, "--help2"}, {{L""}, ""}, {{L"a=b"}, "a=b"},
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

TEST(ParamsConstruction, SplitsAtTheFirstEqualsSignAndTheLastOccurrenceWins) {
    EXPECT_EQ(parse({L"a=b=c", L"bare", L"=x", L"empty="}).values(),
              (Values{{L"a", L"b=c"}, {L"bare", L""}, {L"", L"x"}, {L"empty", L""}}));
    EXPECT_EQ(parse({L"a=1", L"a"}).values(), (Values{{L"a", L""}}));
    EXPECT_EQ(parse({L"a", L"a=3", L"A=2"}).values(), (Values{{L"A", L"2"}, {L"a", L"3"}}));
}

// An empty message: accepted. Possible parameters list the required names plain, then the optional ones in brackets.
TEST(ParamsCheck, RequiredFirstThenTheSmallestUnexpectedNameExactlyAsWritten) {
    const std::tuple<std::vector<std::wstring>, const wchar_t*, const wchar_t*, std::wstring, int> rows[] = {
        {{L"--req=", L"--opt=v"}, L"--req\0", L"--opt\0", L"", 0},
        {{L"--opt=1"}, L"--z\0--a\0", L"--o\0--opt\0",
         L"Missing required parameter --z. Possible parameters:\n    --z\n    --a\n    [--o]\n    [--opt]", 72},
        {{L"--stray"}, L"--Req\0", nullptr, L"Missing required parameter --Req. Possible parameters:\n    --Req", 72},
        {{L"--b", L"--a"}, nullptr, L"--opt\0", L"Unexpected parameter --a. Possible parameters:\n    [--opt]", 105},
        {{L"--Opt"}, nullptr, L"--opt\0", L"Unexpected parameter --Opt. Possible parameters:\n    [--opt]", 105},
        {{L"=x"}, L"", L"", L"Unexpected parameter . ", 105},
        // A list ends at its first empty name.
        {{L"x"}, L"\0hidden\0", nullptr, L"Unexpected parameter x. ", 105},
        {{}, nullptr, nullptr, L"", 0},
        // The package name is always accepted, but only exactly, and it stands in for no required name.
        {{L"--internal-package-name=a=b", L"--req"}, L"--req\0", nullptr, L"", 0},
        {{L"--Internal-Package-Name"}, nullptr, nullptr, L"Unexpected parameter --Internal-Package-Name. ", 105},
        {{L"--internal-package-name"}, L"--req\0", nullptr,
         L"Missing required parameter --req. Possible parameters:\n    --req", 72},
    };
    for (const auto& [arguments, required, optional, message, line] : rows) {
        SCOPED_TRACE(testing::PrintToString(message));
        try {
            parse(arguments).check(required, optional);
            EXPECT_EQ(message, L"");
        } catch (const vexception& e) {
            EXPECT_EQ(e.message(), message);
            ASSERT_EQ(e.chain().size(), 1u);
            EXPECT_EQ(e.chain().front().text, L"");
            EXPECT_EQ(e.chain().front().function, "Params::check");
            EXPECT_EQ(e.chain().front().line, line);
        }
    }
}

// A task run takes no parameter but the package name, and checks that before anything of the task.
TEST(ParamsCheck, ATaskRunTakesOnlyThePackageName) {
    Rundock::Manager manager;
    for (const auto& [parameter, error] : {std::pair{L"password=x", L"Unexpected parameter password. "},
                                           {L"--internal-package-name=p", L"Environment variable RD_CMD_BINARY is undefined"}}) {
        std::wstring text = parameter;
        wchar_t* parameters[] = {text.data(), nullptr};
        EXPECT_EQ(test_support::messageOf<vexception>([&] { manager.go(1, parameters); }), error);
    }
}
