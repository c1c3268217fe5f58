#include "task/system_helper.h"

#include <windows.h>

#include "exec/quoting.h"
#include "runtime/files.h"
#include "task/process_helper.h"
#include "threads/guard.h"

namespace Rundock {

EnvironmentMap DefaultSystemHelper::getEnv() {
    static constexpr GuardedOperation kGetEnv{"Rundock::DefaultSystemHelper::getEnv", L"getEnv()", 13, 20};
    return guarded(kGetEnv, [] {
        EnvironmentMap environment;
        VEnvironmentVariables::load(environment);
        return environment;
    });
}

void DefaultSystemHelper::writeFile(const std::wstring& path, const std::string& content) {
    static constexpr GuardedOperation kWriteFile{"Rundock::DefaultSystemHelper::writeFile", L"writeFile(%s, %s)", 36,
                                                 40};
    guarded(kWriteFile, [&] { VFile::writeAll(path, content, true); }, path, content);
}

std::shared_ptr<IProcessHelper> DefaultSystemHelper::createTask(const std::wstring& program,
                                                                const std::wstring& arguments,
                                                                const std::wstring& stdinFile,
                                                                const std::wstring& stdoutFile,
                                                                const std::wstring& stderrFile) {
    static constexpr GuardedOperation kCreateTask{"Rundock::DefaultSystemHelper::createTask",
                                                  L"createTask(%s, %s, %s, %s, %s)", 27, 31};
    const std::wstring maskedArguments = maskArguments(arguments);
    return guarded(
        kCreateTask,
        [&]() -> std::shared_ptr<IProcessHelper> {
            return std::make_shared<DefaultProcessHelper>(program, arguments, stdinFile, stdoutFile, stderrFile);
        },
        program, maskedArguments, stdinFile, stdoutFile, stderrFile);
}

}  // namespace Rundock
