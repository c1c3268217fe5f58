#include "report/helpers.h"

#include "errors/format.h"
#include "errors/vexception.h"
#include "exec/overlapped_pipe.h"
#include "report/feedback.h"
#include "runtime/datetime.h"
#include "runtime/files.h"
#include "runtime/paths.h"
#include "runtime/registry.h"

namespace SendErrorReport {

bool DefaultSystemHelper::isFeedbackEnabled() { return feedbackSwitchedOn(); }

std::wstring DefaultSystemHelper::getProductRoot() { return registry::productRoot(); }

std::wstring DefaultSystemHelper::getProductData() {
    return registry::getstr(HKEY_LOCAL_MACHINE, registry::kConfigKey, registry::kProductData, registry::View::View32);
}

std::wstring DefaultSystemHelper::getCurrentTime() { return VDateTime::utcNow().compactStamp(); }

std::wstring DefaultSystemHelper::moduleName() {
    // Any length of path, where a fixed buffer would cut a long one short.
    std::wstring path = RunTime::executablePath();
    if (path.empty()) throwLastOsError(L"GetModuleFileName", "moduleName", 131);
    return path;
}

std::wstring DefaultSystemHelper::getCommandLine() { return GetCommandLineW(); }

std::uint32_t DefaultSystemHelper::getProcessId() { return GetCurrentProcessId(); }

std::uint32_t DefaultSystemHelper::getThreadId() { return GetCurrentThreadId(); }

std::shared_ptr<IProcessHelper> DefaultSystemHelper::createProcess(const std::wstring& commandLine) {
    return std::make_shared<DefaultProcessHelper>(commandLine);
}

bool DefaultSystemHelper::fileExists(const std::wstring& path) { return fileExist(path); }

std::string DefaultSystemHelper::readFile(const std::wstring& path) { return VFile::readAll(path); }

SYSTEMTIME DefaultSystemHelper::getLocalTime() { return VDateTime::localNow().systemTime(); }

DefaultProcessHelper::DefaultProcessHelper(const std::wstring& commandLine) {
    launcher_.arguments = commandLine;
    launcher_.noWindow = true;
    launcher_.inheritDesktop = true;
    launcher_.pipeStdin = true;
    // Not the agent's own output: a scheduler that reads it through a pipe
    // would wait for the sender to end as well.
    launcher_.stdoutFile = kNullDevice;
    launcher_.mergeStderr = true;
    // Room for a whole common report, so that handing it over does not wait
    // for the sender to start and read.
    launcher_.pipeBufferSize = kPipeBufferSize;
    // The sender has no use for the agent's other handles (the task's stream
    // files, the log file), and must not keep them open after the agent ends.
    launcher_.inheritOnlyStdHandles = true;
}

void DefaultProcessHelper::start() { launcher_.start(); }

void DefaultProcessHelper::write(const std::string& data) {
    static constexpr char kFunction[] = "SendErrorReport::DefaultProcessHelper::write";
    auto* pipe = dynamic_cast<Con::OverlappedPipe*>(launcher_.stdinPipe());
    if (!pipe) throw vexception(L"The sender has no input pipe", raiseSite(kFunction, 71));
    if (data.size() > 0xFFFFFFFFu) throw ArgumentException(L"The report is too large", raiseSite(kFunction, 72));
    const auto size = static_cast<std::uint32_t>(data.size());
    const std::uint32_t written = pipe->write(data.data(), size, false, kWriteTimeoutMs);
    if (written != size)
        throw vexception(formatString(L"Completed only %d of %d bytes", static_cast<int>(written), static_cast<int>(size)),
                         raiseSite(kFunction, 77));
}

}  // namespace SendErrorReport
