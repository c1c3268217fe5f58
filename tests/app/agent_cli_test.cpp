// The agent as the scheduler sees it: a process started with a command line,
// judged by what it prints and its exit code.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "exec/quoting.h"
#include "runtime/text.h"
#include "tests/support/config_key.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wine_trace.h"

namespace {

using test_process::crlf;

const char kUsage[] = "\nusage: rundock [options] ...\n\n\n--help\n\n--run-task\n";

struct AgentRun {
    std::wstring commandLine;
    test_process::ProcessResult result;
};

AgentRun runAgent(const std::vector<std::wstring>& arguments) {
    const std::wstring program = test_process::siblingPath(L"rundock.exe");
    AgentRun run;
    run.commandLine = test_process::commandLine(program, arguments);
    run.result = test_process::run(program, run.commandLine);
    return run;
}

std::string utf8(const std::wstring& text) { return cstr(text, CP_UTF8); }

// The tail every failing command shares: the two contexts added on the way out.
std::string outerContexts(const std::wstring& command, const std::wstring& commandLine) {
    return "\n   at Unable to execute console command: '" + utf8(maskArgument(command)) +
           "'(vconsoleapp::start line 95)\n   at Unable to execute command: '" + utf8(maskSecrets(commandLine)) +
           "'(vconsoleapp::run line 117)";
}

std::string notSupported(const std::wstring& command, const std::wstring& commandLine) {
    return crlf("command " + utf8(command) +
                " not supported. Possible commands:\n   --help\n   --run-task\n   at (vconsoleapp::cmdNotSupported "
                "line 56)" +
                outerContexts(command, commandLine));
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Appending rather than "'" + text sidesteps a false -Wrestrict of GCC 12.
std::string quotedMasked(const std::wstring& commandLine) {
    std::string text(1, '\'');
    text += utf8(maskSecrets(commandLine));
    text += '\'';
    return text;
}

}  // namespace

TEST(AgentCommandLine, HelpPrintsOnlyTheUsageWhateverFollows) {
    const std::vector<std::vector<std::wstring>> cases = {{L"--help"}, {L"--help", L"anything=1", L"x"}};
    for (const auto& arguments : cases) {
        const AgentRun run = runAgent(arguments);
        SCOPED_TRACE(utf8(run.commandLine));
        EXPECT_EQ(run.result.exitCode, 0u);
        // Exact: the Info start and end records are not echoed.
        EXPECT_EQ(run.result.output, crlf(kUsage));
    }
}

TEST(AgentCommandLine, UnknownCommandEchoesItsErrorChain) {
    // Commands match whole and case-sensitively; a first argument with "=" or
    // an empty one is still the command.
    const std::vector<std::vector<std::wstring>> cases = {
        {L"--foo"}, {L"--HELP"}, {L"--RUN-TASK"}, {L""}, {L"a=b"}, {L"--help2"}, {L"--foo", L"x=1", L"y"}};
    for (const auto& arguments : cases) {
        const AgentRun run = runAgent(arguments);
        SCOPED_TRACE(utf8(run.commandLine));
        EXPECT_EQ(run.result.exitCode, 1u);
        EXPECT_EQ(run.result.output, notSupported(arguments.front(), run.commandLine));
    }
}

TEST(AgentCommandLine, RunTaskRejectsAnyParameterButThePackageName) {
    struct Case {
        std::vector<std::wstring> arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{L"--run-task", L"extra"}, "Unexpected parameter extra. "},
        {{L"--run-task", L"--internal-package-name=x", L"extra=1"}, "Unexpected parameter extra. "},
        // The smallest name in code-unit order, not the first typed.
        {{L"--run-task", L"--b", L"--a"}, "Unexpected parameter --a. "},
    };
    for (const Case& c : cases) {
        const AgentRun run = runAgent(c.arguments);
        SCOPED_TRACE(utf8(run.commandLine));
        EXPECT_EQ(run.result.exitCode, 1u);
        // Console output is still on when the check fails, so the chain is echoed.
        EXPECT_EQ(run.result.output,
                  crlf(c.message + "\n   at (Params::check line 105)" + outerContexts(L"--run-task", run.commandLine)));
    }
}

TEST(AgentCommandLine, PackageNamePassesTheParameterCheck) {
    for (const auto& arguments : std::vector<std::vector<std::wstring>>{
             {L"--run-task", L"--internal-package-name=x"}, {L"--run-task", L"--internal-package-name"}}) {
        const AgentRun run = runAgent(arguments);
        SCOPED_TRACE(utf8(run.commandLine));
        EXPECT_FALSE(contains(run.result.output, "Unexpected parameter")) << run.result.output;
        EXPECT_FALSE(contains(run.result.output, "not supported")) << run.result.output;
    }
}

TEST(AgentCommandLine, NoArgumentRunsTheDefaultCommand) {
    const AgentRun explicitRun = runAgent({L"--run-task"});
    const AgentRun defaultRun = runAgent({});
    EXPECT_EQ(defaultRun.result.exitCode, explicitRun.result.exitCode);
    // Same output, apart from the command line each names in its last context.
    std::string expected = explicitRun.result.output;
    const std::string explicitLine = quotedMasked(explicitRun.commandLine);
    const std::size_t at = expected.find(explicitLine);
    if (at != std::string::npos)
        expected.replace(at, explicitLine.size(), quotedMasked(defaultRun.commandLine));
    EXPECT_EQ(defaultRun.result.output, expected);
    EXPECT_FALSE(contains(defaultRun.result.output, "not supported")) << defaultRun.result.output;
    EXPECT_FALSE(contains(defaultRun.result.output, "Missing command parameter")) << defaultRun.result.output;
    EXPECT_FALSE(contains(defaultRun.result.output, "usage:")) << defaultRun.result.output;
}

TEST(AgentCommandLine, PasswordValuesNeverReachTheOutput) {
    const AgentRun run = runAgent({L"--Help", L"password=hunter2", L"PWD=s3cret", L"userPassWord=abc"});
    SCOPED_TRACE(utf8(run.commandLine));
    EXPECT_EQ(run.result.exitCode, 1u);
    EXPECT_FALSE(contains(run.result.output, "hunter2")) << run.result.output;
    EXPECT_FALSE(contains(run.result.output, "s3cret")) << run.result.output;
    EXPECT_FALSE(contains(run.result.output, "=abc")) << run.result.output;
    EXPECT_TRUE(contains(run.result.output, "password=*")) << run.result.output;
    EXPECT_TRUE(contains(run.result.output, "PWD=*")) << run.result.output;
    EXPECT_EQ(run.result.output, notSupported(L"--Help", run.commandLine));
}

TEST(AgentCommandLine, PasswordTypedAsTheCommandIsMaskedToo) {
    const AgentRun run = runAgent({L"--pwd=hunter2"});
    SCOPED_TRACE(utf8(run.commandLine));
    EXPECT_EQ(run.result.exitCode, 1u);
    EXPECT_FALSE(contains(run.result.output, "hunter2")) << run.result.output;
    EXPECT_TRUE(contains(run.result.output, crlf("command \"--pwd=*\" not supported. Possible commands:\n")))
        << run.result.output;
}

namespace {

// The DLL names in the import table and the export names of the executable
// at path.
struct ImageTables {
    std::vector<std::string> imports;
    std::vector<std::string> exports;
};

ImageTables imageTables(const std::wstring& path) {
    HMODULE image = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!image) throw test_process::osFailure("LoadLibraryExW");
    // The low bits of a resource-only handle mark it; the rest is the view.
    auto* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(image) & ~ULONG_PTR{3});
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY* directories = nt->OptionalHeader.DataDirectory;
    ImageTables tables;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
             base + directories[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress);
         entry->Name != 0; ++entry) {
        std::string name(reinterpret_cast<const char*>(base + entry->Name));
        for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        tables.imports.push_back(name);
    }
    if (directories[IMAGE_DIRECTORY_ENTRY_EXPORT].Size != 0) {
        const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(
            base + directories[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
        const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            tables.exports.emplace_back(reinterpret_cast<const char*>(base + names[i]));
    }
    FreeLibrary(image);
    return tables;
}

}  // namespace

// Every DLL that brings user32 up adds about 9 ms to each task run under
// Wine, as much as starting a bare program; the agent binds those at run time.
TEST(AgentStartup, ImportsOnlyDllsThatLeaveUser32Down) {
    const std::vector<std::string> allowed = {"advapi32.dll", "kernel32.dll", "msvcrt.dll",
                                              "api-ms-win-core-path-l1-1-0.dll"};
    const std::vector<std::string> imports = imageTables(test_process::siblingPath(L"rundock.exe")).imports;
    ASSERT_FALSE(imports.empty());
    for (const std::string& name : imports)
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), name), allowed.end()) << name << " imported";
}

// Modules loaded into the agent find its execute context through this export.
TEST(AgentStartup, ExportsTheExecuteContext) {
    EXPECT_EQ(imageTables(test_process::siblingPath(L"rundock.exe")).exports,
              std::vector<std::string>{"m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22"});
}

// COM and the XML DOM cost more than a whole task run under Wine; only a
// report may load them. (The trace covers the child and its console host
// too, and the console host loads user32.)
TEST(AgentStartup, OnlyAReportLoadsComAndTheXmlDom) {
    test_support::TempDir dir(L"rdload-");
    test_config::ConfigValues config;
    config.set(L"PRODUCT_ROOT_D", dir.path());
    config.remove(L"SendFeedback");
    test_support::writeBytes(dir / L"in.txt", "");
    // The DLLs the agent loaded for a task whose RD_TIMEOUT is timeout.
    const auto loadedBy = [&](const std::wstring& timeout) {
        auto task = test_process::childTask(dir.path(), L"exit 0");
        task[L"RD_TIMEOUT"] = timeout;
        for (const auto& [name, value] : task) SetEnvironmentVariableW(name.c_str(), value.c_str());
        const std::vector<std::string> lines = test_wine::trace(
            L"+loaddll", test_process::siblingPath(L"rundock.exe"), {}, dir / (L"trace-" + timeout));
        for (const auto& [name, value] : task) SetEnvironmentVariableW(name.c_str(), nullptr);
        std::string loaded;
        for (const std::string& line : lines)
            if (contains(line, "Loaded")) loaded += line + "\n";
        return loaded;
    };
    const std::string succeeded = loadedBy(L"30");
    for (const char* dll : {"ole32.dll", "oleaut32.dll", "msxml6.dll"})
        EXPECT_FALSE(contains(succeeded, dll)) << dll << " loaded by a successful run";
    // The same agent reporting its failure (no sender is installed) does.
    EXPECT_TRUE(contains(loadedBy(L"soon"), "msxml6.dll"));
}
