// The production system helper: the real environment, real result files and
// a real child process per task.
#pragma once

#include "task/helpers.h"

namespace Rundock {

class DefaultSystemHelper : public ISystemHelper {
public:
    EnvironmentMap getEnv() override;
    // Bare bytes: created or truncated, no conversion, no line end.
    void writeFile(const std::wstring& path, const std::string& content) override;
    std::shared_ptr<IProcessHelper> createTask(const std::wstring& program, const std::wstring& arguments,
                                               const std::wstring& stdinFile, const std::wstring& stdoutFile,
                                               const std::wstring& stderrFile) override;
};

}  // namespace Rundock
