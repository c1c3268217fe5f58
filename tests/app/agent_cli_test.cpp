// The agent as the scheduler sees it: a process started with a command line, judged by what it prints and its exit
// code; and the parameter rules it checks its command line with.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "app/consoleapp.h"
#include "app/manager.h"
#include "errors/format.h"
#include "exec/quoting.h"
#include "runtime/library.h"
#include "runtime/registry.h"
#include "tests/support/agent_run.h"
#include "tests/support/raised.h"

namespace {

// What the agent printed, its text-mode line ends made plain.
std::string printed(std::string output) { return std::erase(output, '\r'), output; }

using Values = std::map<std::wstring, std::wstring>;

// Params reads a mutable argv slice; the strings live beside it.
Params parse(std::vector<std::wstring> strings) {
    std::vector<wchar_t*> pointers;
    for (std::wstring& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return Params(static_cast<int>(strings.size()), pointers.data());
}

}  // namespace

// Help prints only the usage, whatever follows: the Info start and end records are not echoed. Other commands match
// whole and case-sensitively; an empty first argument, or one with "=", is still the command; a password never reaches
// the output.
TEST(AgentCommandLine, HelpPrintsOnlyTheUsageAndAnUnknownCommandEchoesItsErrorChainMasked) {
    reliability::TaskRun task;
    const auto help = task.run(60000, {L"--help", L"anything=1", L"x"});
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_EQ(printed(help.output), "\nusage: rundock [options] ...\n\n\n--help\n\n--run-task\n");
    const std::pair<std::vector<std::wstring>, std::string> rows[] = {
        {{L"--HELP"}, "--HELP"}, {{L"--help2", L"x=1", L"y"}, "--help2"}, {{L""}, ""}, {{L"a=b"}, "a=b"},
        {{L"--pwd=hunter2"}, "\"--pwd=*\""},
        {{L"--Help", L"password=hunter2", L"PWD=hunter2", L"userPassWord=hunter2"}, "--Help"},
    };
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

TEST(Params, SplitAtTheFirstEqualsSignLastOneWinsAndCheckSaysRequiredFirstThenTheSmallestUnexpected) {
    EXPECT_EQ(parse({L"a=b=c", L"bare", L"=x", L"empty="}).values(),
              (Values{{L"a", L"b=c"}, {L"bare", L""}, {L"", L"x"}, {L"empty", L""}}));
    EXPECT_EQ(parse({L"a=1", L"a", L"b", L"b=3", L"B=2"}).values(), (Values{{L"B", L"2"}, {L"a", L""}, {L"b", L"3"}}));
    EXPECT_TRUE(Params(-1, nullptr).values().empty());
    // A task run takes no parameter but the package name, and says so before anything of the task.
    wchar_t stray[] = L"password=x";
    wchar_t* parameters[] = {stray, nullptr};
    EXPECT_EQ(test_support::messageOf<vexception>([&] { Rundock::Manager().go(1, parameters); }),
              L"Unexpected parameter password. ");
    // An empty message: accepted. Possible parameters list the required names plain, then the optional ones in brackets.
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
        // The package name is always accepted, but only exactly, and it stands in for no required name.
        {{L"--internal-package-name=a=b", L"--req"}, L"--req\0", nullptr, L"", 0},
        {{L"--Internal-Package-Name"}, nullptr, nullptr, L"Unexpected parameter --Internal-Package-Name. ", 105},
        {{L"--internal-package-name"}, L"--req\0", nullptr,
         L"Missing required parameter --req. Possible parameters:\n    --req", 72},
    };
    for (const auto& [arguments, required, optional, message, line] : rows) {
        SCOPED_TRACE(testing::PrintToString(message));
        EXPECT_EQ(test_support::messageOf<vexception>([&] { parse(arguments).check(required, optional); }, fullMessage),
                  line ? message + L"\n   at (Params::check line " + std::to_wstring(line) + L")" : L"(no failure)");
    }
}

// What installers, Explorer's details and crash triage read from the agent and its message file, and the manifest the
// loader reads from the agent: the version is the project's, the maker the one the configuration key names.
TEST(AgentBinaries, CarryTheirVersionResourcesAndTheAgentItsManifestAndOnlyBaseImports) {
    const std::wstring key = registry::kConfigKey, maker = key.substr(9, key.find(L'\\', 9) - 9),
                       version = L"" RD_VERSION;
    unsigned v[3] = {};
    ASSERT_EQ(swscanf(version.c_str(), L"%u.%u.%u", &v[0], &v[1], &v[2]), 3);
    for (const auto& [file, type, description] :
         {std::tuple{L"rundock.exe", VFT_APP, L"rundock task agent"},
          std::tuple{L"eventmsg.dll", VFT_DLL, L"rundock event log messages"}}) {
        std::vector<char> block(0x4000);
        ASSERT_TRUE(GetFileVersionInfoW(test_process::siblingPath(file).c_str(), 0, DWORD(block.size()), block.data()));
        const auto query = [&](const std::wstring& name) {
            void* value = nullptr;
            UINT size = 0;
            return VerQueryValueW(block.data(), name.c_str(), &value, &size) ? value : nullptr;
        };
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(query(L"\\"));
        ASSERT_NE(fixed, nullptr);
        EXPECT_EQ(
            (std::array<DWORD, 5>{fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
                                  fixed->dwProductVersionLS, fixed->dwFileType}),
            (std::array<DWORD, 5>{MAKELONG(v[1], v[0]), v[2] << 16, MAKELONG(v[1], v[0]), v[2] << 16, DWORD(type)}));
        Values strings{{L"CompanyName", maker}, {L"FileDescription", description}, {L"FileVersion", version},
                       {L"LegalCopyright", L"Copyright (C) " + maker}, {L"OriginalFilename", file},
                       {L"ProductName", L"rundock"}, {L"ProductVersion", version}}, found;
        for (const auto& [name, expected] : strings)
            if (const void* value = query(L"\\StringFileInfo\\040904B0\\" + name))
                found[name] = static_cast<const wchar_t*>(value);
        EXPECT_EQ(found, strings);
    }
    const RunTime::Owner<RunTime::LibraryTraits> agent(
        LoadLibraryExW(test_process::siblingPath(L"rundock.exe").c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    const HRSRC resource = FindResourceW(agent.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(resource, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(agent.get(), resource))),
                               SizeofResource(agent.get(), resource));
    // Windows 10 and 11 (and their servers) only; long paths; no elevation.
    for (const char* setting : {"Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"",
                                "WindowsSettings\">true</longPathAware>", "<requestedExecutionLevel level=\"asInvoker\""})
        EXPECT_NE(manifest.find(setting), std::string::npos) << setting;
    EXPECT_EQ(std::count(manifest.begin(), manifest.end(), '{'), 1) << "one supported system";
    // What loads with the agent: nothing beyond Windows 10's base, the rest bound at run time.
    const auto* image = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(agent.get()) & ~ULONG_PTR(3));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
        image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
    std::vector<std::string> imports;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
             image + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
         entry->Name; ++entry)
        imports.emplace_back(reinterpret_cast<const char*>(image + entry->Name));
    std::ranges::sort(imports);
    EXPECT_EQ(imports, (std::vector<std::string>{"ADVAPI32.dll", "KERNEL32.dll", "api-ms-win-core-path-l1-1-0.dll",
                                                  "msvcrt.dll"}));
}
