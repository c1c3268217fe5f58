// One run of the agent as the scheduler makes it: a fresh directory with the stream and result files, an installation
// root whose log file collects the run's records, and the RD_* variables of the task.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "runtime/text.h"
#include "tests/support/config_key.h"
#include "tests/support/log_records.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wine_trace.h"

namespace reliability {

// A result file's content: digits only, no leading zero (zero is "0").
inline bool isDecimal(const std::string& text) {
    return text == "0" || (!text.empty() && text[0] != '0' && text.find_first_not_of("0123456789") == text.npos);
}

// What the agent printed (nothing, for a task run) and its log file's records, stamps removed: all, and the Error ones.
struct AgentResult {
    DWORD exitCode = 0;
    std::wstring commandLine;
    std::string output;
    std::vector<std::wstring> errors, records;
    long outputEndMs = 0;  // after the agent's end
};

class TaskRun {
public:
    TaskRun() : dir_(L"rdrel-") {
        test_log::makeInstallation(dir_.path());
        test_support::writeBytes(path(L"in.txt"), "");
        config_.set(L"PRODUCT_ROOT_D", dir_.path());
        for (const wchar_t* name : {L"Debug", L"log_debug_enabled"}) config_.remove(name);
        // The task the tests run unless they say otherwise.
        variables = {{L"RD_CMD_BINARY", test_process::siblingPath(L"rdchild.exe")}, {L"RD_CMD_ARGS", L"exit 0"},
                     {L"RD_STDIN", path(L"in.txt")},   {L"RD_STDOUT", path(L"out.txt")},
                     {L"RD_STDERR", path(L"err.txt")}, {L"RD_PID", path(L"pid")},
                     {L"RD_EXIT_CODE", path(L"exit")}, {L"RD_TIMEOUT", L"30"}};
    }

    std::wstring path(const std::wstring& name) const { return dir_ / name; }
    const std::wstring& directory() const { return dir_.path(); }
    test_config::ConfigValues& config() { return config_; }

    // Runs agent in the run's directory with our environment minus any RD_*
    // plus variables (one mapped to kAbsent left out), bounded by timeoutMs, in job unless null; beforeStart as
    // test_process::run's.
    AgentResult run(DWORD timeoutMs = 60000, const std::vector<std::wstring>& arguments = {}, HANDLE job = nullptr,
                    const std::function<void(DWORD)>& beforeStart = {}) {
        const std::wstring line = test_process::commandLine(agent, arguments);
        const test_process::ProcessResult process = test_process::run(
            agent, line, timeoutMs, test_process::taskEnvironment(variables, kAbsent), dir_.path(), job, beforeStart);
        AgentResult result{process.exitCode, line, process.output, {}, {}, process.outputEndMs};
        for (const std::wstring& file : test_support::fileNames(dir_ / L"admin\\logs\\*.log"))
            for (std::wstring& record : test_log::recordsOf(
                     test_log::utf16Text(test_support::readBytes(dir_ / (L"admin\\logs\\" + file)))))
                result.records.push_back(std::move(record));
        for (const std::wstring& record : result.records)
            if (record.rfind(L"Error: ", 0) == 0) result.errors.push_back(record);
        return result;
    }

    // The lines of test_wine::trace of rundock into traceName, the task's variables (no kAbsent) in our environment.
    std::vector<std::string> traced(const std::wstring& channels, const std::wstring& traceName) {
        for (const auto& [name, value] : variables) SetEnvironmentVariableW(name.c_str(), value.c_str());
        auto lines = test_wine::trace(channels, test_process::siblingPath(L"rundock.exe"), {}, path(traceName));
        for (const auto& [name, value] : variables) SetEnvironmentVariableW(name.c_str(), nullptr);
        return lines;
    }

    // The bytes of a file of the run's directory; "<missing>" when it does not exist.
    std::string read(const std::wstring& name) const {
        return GetFileAttributesW(path(name).c_str()) == INVALID_FILE_ATTRIBUTES ? "<missing>"
                                                                                 : test_support::readBytes(path(name));
    }

    static inline const std::wstring kAbsent = L"\x01<absent>";
    std::wstring agent = test_process::siblingPath(L"rundock.exe");
    std::map<std::wstring, std::wstring> variables;

private:
    test_support::TempDir dir_;
    test_config::ConfigValues config_;
};

}  // namespace reliability
