// The agent run as the scheduler runs it: RD_* variables in its environment,
// the test child as the task, the two result files read back.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "runtime/datetime.h"
#include "runtime/text.h"
#include "errors/vexception.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"

namespace {

using test_support::readBytes;
using test_support::writeBytes;

bool isDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos &&
           (text == "0" || text[0] != '0');
}

class TaskRunEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        writeBytes(path(L"in.txt"), "");
        variables_ = test_process::childTask(dir_, L"");
        variables_.erase(L"RD_CMD_ARGS");
    }

    std::wstring path(const std::wstring& name) const { return dir_ + L"\\" + name; }

    // Runs rundock with our environment minus any RD_* plus the task's variables.
    test_process::ProcessResult runAgent(const std::wstring& currentDirectory = std::wstring()) {
        const std::wstring block = test_process::taskEnvironment(variables_);
        const std::wstring agent = test_process::siblingPath(L"rundock.exe");
        return test_process::run(agent, L"\"" + agent + L"\"", 60000, block, currentDirectory);
    }

    test_support::TempDir temp_{L"rundock-task-"};
    const std::wstring dir_ = temp_.path();
    std::map<std::wstring, std::wstring> variables_;
};

}  // namespace

TEST_F(TaskRunEndToEnd, NormalRunRecordsPidAndExitCodeAndPrintsNothing) {
    writeBytes(path(L"pid"), "123456789012");  // longer old content is truncated
    writeBytes(path(L"exit"), "999999999999");
    variables_[L"RD_CMD_ARGS"] = L"out hello err oops exit 7";
    const auto result = runAgent();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(readBytes(path(L"exit")), "7");
    const std::string pid = readBytes(path(L"pid"));
    EXPECT_TRUE(isDecimal(pid)) << pid;
    EXPECT_NE(pid, "0");
    EXPECT_EQ(readBytes(path(L"out.txt")), "hello");
    EXPECT_EQ(readBytes(path(L"err.txt")), "oops");
}

TEST_F(TaskRunEndToEnd, TimeoutRecords1460AndTheAgentStillSucceeds) {
    variables_[L"RD_CMD_ARGS"] = L"out started sleep 60000";
    variables_[L"RD_TIMEOUT"] = L"1";
    const DWORD began = GetTickCount();
    const auto result = runAgent();
    EXPECT_LT(GetTickCount() - began, 20000u);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(readBytes(path(L"exit")), "1460");
    EXPECT_EQ(readBytes(path(L"out.txt")), "started");
}

TEST_F(TaskRunEndToEnd, CrashingChildsCodeIsWrittenUnsigned) {
    variables_[L"RD_CMD_ARGS"] = L"crash";
    const auto result = runAgent();
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(readBytes(path(L"exit")), "3221225477");
}

TEST_F(TaskRunEndToEnd, OneFileSpelledTwiceMergesBothStreams) {
    variables_[L"RD_STDOUT"] = path(L"both.txt");
    std::wstring other = path(L"BOTH.TXT");
    for (wchar_t& c : other)
        if (c == L'\\') c = L'/';
    variables_[L"RD_STDERR"] = other;
    variables_[L"RD_CMD_ARGS"] = L"out 1 err 2 out 3";
    ASSERT_EQ(runAgent().exitCode, 0u);
    EXPECT_EQ(readBytes(path(L"both.txt")), "123");
    EXPECT_EQ(readBytes(path(L"exit")), "0");
}

TEST_F(TaskRunEndToEnd, StandardInputAndArgumentsReachTheChildVerbatim) {
    writeBytes(path(L"in.txt"), std::string("line one\r\nbinary\0\xff", 19));
    variables_[L"RD_CMD_ARGS"] = L"cat cmdline";
    ASSERT_EQ(runAgent().exitCode, 0u);
    const std::wstring expectedLine = L"\"" + variables_[L"RD_CMD_BINARY"] + L"\" cat cmdline";
    EXPECT_EQ(readBytes(path(L"out.txt")), std::string("line one\r\nbinary\0\xff", 19) + cstr(expectedLine, CP_UTF8));
}

TEST_F(TaskRunEndToEnd, NamesInAnyCaseAndPathsRelativeLongOrNonAscii) {
    // A directory name past the classic 260-character limit, with characters outside ASCII.
    const std::wstring deep = std::wstring(120, L'd') + L"\\\u00e9t\u00e9 \U0001F600\\" + std::wstring(120, L'e');
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + path(deep.substr(0, 120))).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + path(deep.substr(0, deep.rfind(L'\\')))).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + path(deep)).c_str(), nullptr));
    variables_.clear();
    variables_[L"rd_cmd_binary"] = test_process::siblingPath(L"rdchild.exe");
    variables_[L"Rd_Stdin"] = L"in.txt";  // relative to the agent's current directory
    variables_[L"rd_stdout"] = deep + L"/out.txt";
    variables_[L"RD_stderr"] = L"./err.txt";
    variables_[L"rd_pid"] = path(deep) + L"\\pid";
    variables_[L"rd_exit_code"] = L"exit";
    variables_[L"rd_timeout"] = L"30";
    variables_[L"rd_cmd_args"] = L"out \u00e9t\u00e9 exit 3";
    ASSERT_EQ(runAgent(dir_).exitCode, 0u);
    EXPECT_EQ(readBytes(path(L"exit")), "3");
    EXPECT_EQ(readBytes(L"\\\\?\\" + path(deep) + L"\\out.txt"), "\xc3\xa9t\xc3\xa9");
    EXPECT_TRUE(isDecimal(readBytes(L"\\\\?\\" + path(deep) + L"\\pid")));
}

TEST_F(TaskRunEndToEnd, FailuresExitWithOneAndLeaveTheResultFilesUntouched) {
    writeBytes(path(L"pid"), "old");
    writeBytes(path(L"exit"), "old");
    struct Case {
        const wchar_t* name;
        std::wstring value;
    };
    const Case cases[] = {{L"RD_PID", L""},
                          {L"RD_TIMEOUT", L"abc"},
                          {L"RD_CMD_BINARY", L"C:\\no\\such\\program.exe"},
                          {L"RD_STDIN", L"C:\\no\\such\\input.txt"},
                          {L"RD_STDERR", L"./out.txt"}};  // one file in two spellings, not merged
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << cstr(c.name, CP_UTF8));
        auto saved = variables_;
        variables_[c.name] = c.value;
        const auto result = runAgent(dir_);
        variables_ = saved;
        EXPECT_EQ(result.exitCode, 1u) << c.name;
        EXPECT_EQ(result.output, "") << c.name;
        EXPECT_EQ(readBytes(path(L"pid")), "old") << c.name;
        EXPECT_EQ(readBytes(path(L"exit")), "old") << c.name;
    }
}
