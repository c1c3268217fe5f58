// Turns serious log records into error reports: each text at most once a
// day, as an XML document on the standard input of the panel's sender,
// "admin\bin\send-error-report.exe" under the installation root.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "log/logmanager.h"
#include "report/helpers.h"

namespace SendErrorReport {

class LogHandler : public ILogHandler {
public:
    LogHandler();
    explicit LogHandler(std::shared_ptr<ISystemHelper> systemHelper);
    LogHandler(const LogHandler&) = delete;
    LogHandler& operator=(const LogHandler&) = delete;
    ~LogHandler() override;

    // Never throws (but for a cancellation of the thread): a report that
    // fails is lost, and still counted.
    void handleMessage(LogLevel level, const std::wstring& text) override;
    // The sender's one argument.
    virtual std::wstring getSource();
    // The document, UTF-8.
    virtual std::string buildReport(const std::wstring& text, std::uint32_t hits);

    static constexpr LogLevel kThreshold = Error;
    static constexpr std::int64_t kReportIntervalHours = 24;
    static constexpr std::size_t kRemembered = 100;

private:
    struct Stamp {
        SYSTEMTIME time;      // of the last report of the text
        std::uint32_t hits;   // records since then, that one included
    };
    // The hits to report with, or nothing when the text was reported lately.
    std::optional<std::uint32_t> deduplicate(const std::wstring& text);
    void report(const std::wstring& text, std::uint32_t hits);

    std::shared_ptr<ISystemHelper> systemHelper_;
    std::unordered_map<std::wstring, Stamp> sent_;
};

// The first non-empty line of text; text itself when it has none.
std::wstring reportSummary(const std::wstring& text);

}  // namespace SendErrorReport
