// One task run of the agent as the scheduler makes it: a fresh directory
// with the stream and result files, an installation root whose log file
// collects the run's records, and the RD_* variables of the task.
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

namespace reliability {

struct AgentResult {
    DWORD exitCode = 0;
    std::string output;                 // what the agent printed (nothing, for a task run)
    std::vector<std::wstring> errors;   // the Error records of the log file, without their stamps
    std::vector<std::wstring> records;  // every record of the log file, without stamps
};

class TaskRun {
public:
    TaskRun() : dir_(L"rdrel-") {
        CreateDirectoryW((dir_ / L"admin").c_str(), nullptr);
        CreateDirectoryW((dir_ / L"admin\\logs").c_str(), nullptr);
        test_support::writeBytes(path(L"in.txt"), "");
        config_.set(L"PRODUCT_ROOT_D", dir_.path());
        config_.remove(L"Debug");
        config_.remove(L"log_debug_enabled");
        variables = test_process::childTask(dir_.path(), L"exit 0");
    }

    // A file of the run's directory.
    std::wstring path(const std::wstring& name) const { return dir_ / name; }
    const std::wstring& directory() const { return dir_.path(); }
    test_config::ConfigValues& config() { return config_; }

    // Runs rundock with our environment minus any RD_* plus variables (a
    // variable mapped to kAbsent is left out); timeoutMs bounds the whole run.
    // arguments: the agent's own, after its quoted path.
    AgentResult run(DWORD timeoutMs = 60000, const std::wstring& arguments = std::wstring()) {
        const std::wstring block = test_process::taskEnvironment(variables, kAbsent);
        const std::wstring agent = test_process::siblingPath(L"rundock.exe");
        const std::wstring line = L"\"" + agent + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
        const test_process::ProcessResult process = test_process::run(agent, line, timeoutMs, block, dir_.path());
        AgentResult result;
        result.exitCode = process.exitCode;
        result.output = process.output;
        result.records = logRecords();
        for (const std::wstring& record : result.records)
            if (record.rfind(L"Error: ", 0) == 0) result.errors.push_back(record);
        return result;
    }

    // The bytes of a file of the run's directory; "<missing>" when it does not exist.
    std::string read(const std::wstring& name) const {
        if (GetFileAttributesW(path(name).c_str()) == INVALID_FILE_ATTRIBUTES) return "<missing>";
        return test_support::readBytes(path(name));
    }

    static inline const std::wstring kAbsent = L"\x01<absent>";
    std::map<std::wstring, std::wstring> variables;

private:
    std::vector<std::wstring> logRecords() const {
        std::vector<std::wstring> records;
        for (const std::wstring& file : test_support::fileNames(dir_ / L"admin\\logs\\*.log")) {
            const std::wstring text = test_log::utf16Text(test_support::readBytes(dir_ / (L"admin\\logs\\" + file)));
            for (std::wstring& record : test_log::recordsOf(text)) records.push_back(std::move(record));
        }
        return records;
    }

    test_support::TempDir dir_;
    test_config::ConfigValues config_;
};

}  // namespace reliability
