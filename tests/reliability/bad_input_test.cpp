// Malformed task environments. Every run ends on time in one of two ways: a
// correct run (agent 0, the child's code in the exit-code file, a decimal PID
// in the PID file), or agent 1 with one Error record that names the cause and
// the result files as the scheduler may expect them for that kind of failure.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/text.h"
#include "tests/support/agent_run.h"
#include "tests/support/system_text.h"

namespace {

using reliability::AgentResult;
using reliability::TaskRun;

enum class Outcome {
    Ran,             // agent 0: the child ran and both results are recorded
    Undefined,       // agent 1, nothing started: "Environment variable %s is undefined"
    BadTimeout,      // agent 1, nothing started: "Invalid environment variable RD_TIMEOUT value '%s'"
    NotStarted,      // agent 1: the child cannot start; both result files untouched
    PidUnwritable,   // agent 1 after the start: the exit-code file untouched
    ExitUnwritable,  // agent 1 after the child ended: PID written, exit-code file untouched
};

struct Row {
    std::wstring variable;
    std::wstring value;  // %D: the run's directory, %C: the test child, %L: 33,000 characters
    Outcome outcome;
    DWORD error = 0;                   // a system error whose text the message carries (0: not checked)
    std::string code = "7";            // Ran: the exit code the child ends with
    std::string out = "ran";           // Ran: what the child wrote to standard output
    const wchar_t* args = nullptr;     // the child's actions when not the row's own subject
    const wchar_t* names = nullptr;    // what the message names when not the value itself
};

constexpr const wchar_t* kRequired[] = {L"RD_CMD_BINARY", L"RD_STDIN",     L"RD_STDOUT", L"RD_STDERR",
                                        L"RD_PID",        L"RD_EXIT_CODE", L"RD_TIMEOUT"};
// A child that proves it ran: output and a code no default would give.
constexpr const wchar_t* kChildArgs = L"out ran exit 7";

std::wstring child() { return test_process::siblingPath(L"rdchild.exe"); }

std::string narrow(const std::wstring& text) {
    return cstr(text.size() > 160 ? text.substr(0, 160) + L"..." : text, CP_UTF8);
}

std::wstring expand(std::wstring text, const TaskRun& task) {
    const std::pair<std::wstring, std::wstring> marks[] = {
        {L"%D", task.directory()}, {L"%C", child()}, {L"%L", std::wstring(33000, L'x')}};
    for (const auto& [mark, replacement] : marks)
        for (std::size_t at; (at = text.find(mark)) != std::wstring::npos;) text.replace(at, mark.size(), replacement);
    return text;
}

bool isDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos &&
           (text == "0" || text[0] != '0');
}

// The content of the file a variable names, relative names taken in the
// run's directory as the agent takes them; "<device>" for NUL.
std::string fileOf(const TaskRun& task, const wchar_t* variable) {
    const std::wstring& value = task.variables.at(variable);
    if (_wcsicmp(value.c_str(), L"NUL") == 0) return "<device>";
    const std::wstring path = value.size() > 1 && value[1] == L':' ? value : task.path(value);
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? "<missing>" : test_support::readBytes(path);
}

// 0 when the system starts a process with this command line, else its error.
DWORD startError(std::wstring line) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const std::wstring original = line;
    if (!createProcessRetried([&] {
            line = original;
            return CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                                  &startup, &info);
        }))
        return GetLastError();
    WaitForSingleObject(info.hProcess, 30000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}

void expectOutcome(const Row& row, const std::wstring& value, const TaskRun& task, const AgentResult& result) {
    EXPECT_EQ(result.output, "");  // a task run never talks to the console
    if (row.outcome == Outcome::Ran) {
        EXPECT_EQ(result.exitCode, 0u);
        for (const std::wstring& error : result.errors) ADD_FAILURE() << narrow(error);
        const std::string pid = fileOf(task, L"RD_PID"), exitCode = fileOf(task, L"RD_EXIT_CODE");
        const std::string out = fileOf(task, L"RD_STDOUT");
        EXPECT_TRUE(pid == "<device>" || isDecimal(pid)) << pid;
        EXPECT_TRUE(exitCode == "<device>" || exitCode == row.code) << exitCode << ", expected " << row.code;
        EXPECT_TRUE(out == "<device>" || out == row.out) << out << ", expected " << row.out;
        // A device name must not turn into a file that ordinary paths cannot reach.
        for (const std::wstring& name : test_support::fileNames(task.path(L"*")))
            EXPECT_NE(_wcsicmp(name.c_str(), L"NUL"), 0);
        return;
    }
    EXPECT_EQ(result.exitCode, 1u);
    ASSERT_EQ(result.errors.size(), 1u);
    const std::wstring message = result.errors[0].substr(0, result.errors[0].find(L'\n'));
    if (row.outcome == Outcome::Undefined) {
        EXPECT_EQ(message, L"Error: Environment variable " + row.variable + L" is undefined");
    } else if (row.outcome == Outcome::BadTimeout) {
        EXPECT_EQ(message, L"Error: Invalid environment variable RD_TIMEOUT value '" + value + L"'");
    } else {
        const std::wstring named = row.names ? expand(row.names, task) : value;
        EXPECT_TRUE(message.find(named) != std::wstring::npos || message.find(row.variable) != std::wstring::npos)
            << narrow(message);
        const std::wstring cause =
            test_support::systemText(row.error) + L" (Error code " + std::to_wstring(row.error) + L")";
        if (row.error) {
            EXPECT_NE(message.find(cause), std::wstring::npos) << narrow(message) << "\n" << narrow(cause);
        }
    }
    EXPECT_EQ(task.read(L"exit"), "old");
    if (row.outcome == Outcome::ExitUnwritable) {
        EXPECT_TRUE(isDecimal(task.read(L"pid"))) << task.read(L"pid");
        EXPECT_EQ(task.read(L"out.txt"), "ran");
    } else {
        EXPECT_EQ(task.read(L"pid"), "old");
    }
    const std::string out = task.read(L"out.txt");
    if (row.outcome != Outcome::PidUnwritable && row.outcome != Outcome::ExitUnwritable) {
        EXPECT_TRUE(out == "<missing>" || out.empty()) << "the child ran: " << out;
    }
    // Nobody can watch or stop a child whose PID was never recorded.
    EXPECT_NE(out, "late") << "the child outlived the failed run";
}

void runRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        SCOPED_TRACE(narrow(row.variable + L"=" + row.value));
        TaskRun task;
        test_support::writeBytes(task.path(L"pid"), "old");
        test_support::writeBytes(task.path(L"exit"), "old");
        test_support::writeBytes(task.path(L"notes.txt"), "not a program\r\n");
        test_support::writeBytes(task.path(L"garbage.exe"), "not a program either\r\n");
        CreateDirectoryW(task.path(L"tools").c_str(), nullptr);
        ASSERT_TRUE(CopyFileW(child().c_str(), task.path(L"tools\\kid.exe").c_str(), FALSE));
        task.variables[L"RD_CMD_ARGS"] = row.args ? row.args : kChildArgs;
        const std::wstring value = row.value == TaskRun::kAbsent ? row.value : expand(row.value, task);
        task.variables[row.variable] = value;
        try {
            expectOutcome(row, value, task, task.run(30000));
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }
}

// Paths that name nothing usable, each followed by the system error it meets
// when opened as a file.
const std::vector<std::pair<std::wstring, DWORD>> kBadPaths = {
    {L"%D", ERROR_ACCESS_DENIED},       {L"%D\\a<b", ERROR_INVALID_NAME},   {L"%D\\a|b", ERROR_INVALID_NAME},
    {L"%D\\a?b", ERROR_INVALID_NAME},   {L"%D\\a*b", ERROR_INVALID_NAME},   {L"%D\\nodir\\x", ERROR_PATH_NOT_FOUND},
    {L"rel\\x.txt", ERROR_PATH_NOT_FOUND}, {L"%D\\%L", 0},
};

}  // namespace

TEST(BadInput, UndefinedVariablesStopBeforeTheStart) {
    std::vector<Row> rows;
    for (const wchar_t* name : kRequired)
        for (const std::wstring value : {TaskRun::kAbsent.c_str(), L"", L" ", L"\t \r\n"})
            rows.push_back({name, value, Outcome::Undefined});
    runRows(rows);
}

TEST(BadInput, TimeoutsThatAreNoPositiveDecimalStopBeforeTheStart) {
    std::vector<Row> rows;
    for (const wchar_t* value : {L"0", L"-0", L"000", L"0x10", L"abc", L"NUL", L"CON", L"COM1", L"%L"})
        rows.push_back({L"RD_TIMEOUT", value, Outcome::BadTimeout});
    for (const auto& [path, error] : kBadPaths)
        if (path != L"%D\\%L") rows.push_back({L"RD_TIMEOUT", path, Outcome::BadTimeout});
    runRows(rows);
}

TEST(BadInput, TimeoutsReadAsDecimalSecondsRunTheTask) {
    runRows({
        {L"RD_TIMEOUT", L" 10 ", Outcome::Ran},
        {L"RD_TIMEOUT", L"\t10\r\n", Outcome::Ran},
        {L"RD_TIMEOUT", L"+10", Outcome::Ran},
        {L"RD_TIMEOUT", L"10 seconds", Outcome::Ran},
        // Too large for 32 bits, or negative and so wrapped: a long wait, not an error.
        {L"RD_TIMEOUT", L"4294967296", Outcome::Ran},
        {L"RD_TIMEOUT", L"99999999999999999999999", Outcome::Ran},
        {L"RD_TIMEOUT", L"-1", Outcome::Ran},
        {L"RD_TIMEOUT", std::wstring(33000, L'0') + L"30", Outcome::Ran},
    });
}

TEST(BadInput, UnusableProgramsFailToStart) {
    runRows({
        {L"RD_CMD_BINARY", L"%D", Outcome::NotStarted, ERROR_ACCESS_DENIED},
        {L"RD_CMD_BINARY", L"%D\\missing.exe", Outcome::NotStarted, ERROR_FILE_NOT_FOUND},
        {L"RD_CMD_BINARY", L"%D\\nodir\\kid.exe", Outcome::NotStarted},
        {L"RD_CMD_BINARY", L"tools\\missing.exe", Outcome::NotStarted},
        {L"RD_CMD_BINARY", L"NUL", Outcome::NotStarted},
        {L"RD_CMD_BINARY", L"CON", Outcome::NotStarted},
        {L"RD_CMD_BINARY", L"COM1", Outcome::NotStarted},
        {L"RD_CMD_BINARY", L"%D\\tools\\k<id.exe", Outcome::NotStarted},
        {L"RD_CMD_BINARY", L"%D\\tools\\k|id.exe", Outcome::NotStarted},
        {L"RD_CMD_BINARY", L"%D\\tools\\k?d.exe", Outcome::NotStarted},
        {L"RD_CMD_BINARY", L"%D\\tools\\k*.exe", Outcome::NotStarted},
        {L"RD_CMD_BINARY", L"%D\\%L.exe", Outcome::NotStarted},
        {L"RD_CMD_BINARY", L"%D\\garbage.exe", Outcome::NotStarted, ERROR_BAD_EXE_FORMAT},
        {L"RD_CMD_BINARY", L"%D\\notes.txt", Outcome::NotStarted, ERROR_BAD_EXE_FORMAT},
        // A quote would end the quoted program path early and turn the rest
        // into arguments: here the child would run and exit with 5.
        {L"RD_CMD_BINARY", L"%C\" \"exit\" \"5", Outcome::NotStarted},
        {L"RD_CMD_BINARY", L"%D\\tools\\k\"id.exe", Outcome::NotStarted},
    });
}

TEST(BadInput, UnusableStreamFilesFailToStart) {
    std::vector<Row> rows;
    for (const wchar_t* name : {L"RD_STDIN", L"RD_STDOUT", L"RD_STDERR"})
        for (const auto& [path, error] : kBadPaths)
            rows.push_back({.variable = name, .value = path, .outcome = Outcome::NotStarted, .error = error});
    rows.push_back({L"RD_STDIN", L"%D\\missing.txt", Outcome::NotStarted, ERROR_FILE_NOT_FOUND});
    // Another spelling of the output file: opened twice, the second open is refused.
    rows.push_back({.variable = L"RD_STDERR", .value = L"%D\\.\\out.txt", .outcome = Outcome::NotStarted,
                    .error = ERROR_SHARING_VIOLATION, .names = L"%D\\out.txt"});
    runRows(rows);
}

TEST(BadInput, UnusableResultFilesFailAfterTheStart) {
    std::vector<Row> rows;
    for (const auto& [path, error] : kBadPaths) {
        rows.push_back({.variable = L"RD_PID", .value = path, .outcome = Outcome::PidUnwritable, .error = error});
        rows.push_back({.variable = L"RD_EXIT_CODE", .value = path, .outcome = Outcome::ExitUnwritable,
                        .error = error});
    }
    // The PID file proves unusable only after the start; the child, which
    // nobody could watch or stop without its PID, must not outlive the run.
    // (Left running, it would also hold our pipe to the agent for 20 s.)
    rows.push_back({.variable = L"RD_PID", .value = L"%D\\nodir\\pid", .outcome = Outcome::PidUnwritable,
                    .error = ERROR_PATH_NOT_FOUND, .args = L"sleep 20000 out late"});
    runRows(rows);
}

TEST(BadInput, RelativePathsResolveAgainstTheWorkingDirectory) {
    runRows({
        {L"RD_CMD_BINARY", L"tools\\kid.exe", Outcome::Ran},
        {L"RD_STDIN", L"in.txt", Outcome::Ran},
        {L"RD_STDOUT", L"stdout.txt", Outcome::Ran},
        {L"RD_STDERR", L"stderr.txt", Outcome::Ran},
        {L"RD_PID", L"pid.txt", Outcome::Ran},
        {L"RD_EXIT_CODE", L"exit.txt", Outcome::Ran},
    });
}

TEST(BadInput, DeviceNamesMeanTheDevices) {
    runRows({
        {L"RD_STDIN", L"NUL", Outcome::Ran},
        {L"RD_STDOUT", L"NUL", Outcome::Ran},
        {L"RD_STDERR", L"NUL", Outcome::Ran},
        {L"RD_PID", L"NUL", Outcome::Ran},
        {L"RD_EXIT_CODE", L"NUL", Outcome::Ran},
    });
}

TEST(BadInput, ArgumentTextIsPassedOnVerbatim) {
    // The command line limit is the system's: where it starts the line, so must the agent.
    const std::wstring longArgs = L"exit 5 " + std::wstring(33000, L'x');
    const DWORD longError = startError(L"\"" + child() + L"\" " + longArgs);
    runRows({
        {L"RD_CMD_ARGS", TaskRun::kAbsent, Outcome::Ran, 0, "0", ""},
        {L"RD_CMD_ARGS", L"", Outcome::Ran, 0, "0", ""},
        {L"RD_CMD_ARGS", L" ", Outcome::Ran, 0, "0", ""},
        {L"RD_CMD_ARGS", L"\t", Outcome::Ran, 0, "0", ""},
        {L"RD_CMD_ARGS", L"out <|>?* exit 3", Outcome::Ran, 0, "3", "<|>?*"},
        {L"RD_CMD_ARGS", L"out \"a b\" exit 4", Outcome::Ran, 0, "4", "a b"},
        {L"RD_CMD_ARGS", L"out NUL exit 6 CON", Outcome::Ran, 0, "6", "NUL"},
        {L"RD_CMD_ARGS", longArgs, longError ? Outcome::NotStarted : Outcome::Ran, longError, "5", ""},
    });
}

