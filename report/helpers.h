// The error-report handler's two seams: the system (settings, clock, the
// running process, files, starting the sender) and one started sender.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "exec/launcher.h"

namespace SendErrorReport {

class IProcessHelper {
public:
    // Closes the sender's input, which ends it; the sender is not waited for.
    virtual ~IProcessHelper() = default;
    virtual void start() = 0;
    virtual void write(const std::string& data) = 0;
};

class ISystemHelper {
public:
    virtual ~ISystemHelper() = default;
    virtual bool isFeedbackEnabled() = 0;
    virtual std::wstring getProductRoot() = 0;
    virtual std::wstring getProductData() = 0;
    virtual std::wstring getCurrentTime() = 0;  // UTC, 20261205T070503
    virtual std::wstring moduleName() = 0;      // the running executable's path
    virtual std::wstring getCommandLine() = 0;
    virtual std::uint32_t getProcessId() = 0;
    virtual std::uint32_t getThreadId() = 0;
    // Configured, not started.
    virtual std::shared_ptr<IProcessHelper> createProcess(const std::wstring& commandLine) = 0;
    virtual bool fileExists(const std::wstring& path) = 0;
    virtual std::string readFile(const std::wstring& path) = 0;  // the bytes, unchanged
    virtual SYSTEMTIME getLocalTime() = 0;
};

class DefaultSystemHelper : public ISystemHelper {
public:
    static constexpr wchar_t kFeedbackValue[] = L"SendFeedback";
    static constexpr wchar_t kFeedbackOff[] = L"false";
    // Off only for the exact text "false"; a missing value leaves it on.
    bool isFeedbackEnabled() override;
    std::wstring getProductRoot() override;
    std::wstring getProductData() override;
    std::wstring getCurrentTime() override;
    std::wstring moduleName() override;
    std::wstring getCommandLine() override;
    std::uint32_t getProcessId() override;
    std::uint32_t getThreadId() override;
    std::shared_ptr<IProcessHelper> createProcess(const std::wstring& commandLine) override;
    bool fileExists(const std::wstring& path) override;
    std::string readFile(const std::wstring& path) override;
    SYSTEMTIME getLocalTime() override;
};

// The sender: no window, the parent's desktop, its standard input on a pipe,
// its output and error to the null device.
class DefaultProcessHelper : public IProcessHelper {
public:
    explicit DefaultProcessHelper(const std::wstring& commandLine);
    void start() override;
    // All of data, or an error. A sender that has not taken it all within
    // kWriteTimeoutMs must not hold the caller: the rest is dropped.
    void write(const std::string& data) override;

    static constexpr std::uint32_t kWriteTimeoutMs = 10000;
    static constexpr std::uint32_t kPipeBufferSize = 64 * 1024;
    static constexpr wchar_t kNullDevice[] = L"NUL";

private:
    vexecutil launcher_;
};

}  // namespace SendErrorReport
