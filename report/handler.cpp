#include "report/handler.h"

#include <cwctype>

#include "exec/quoting.h"
#include "report/feedback.h"
#include "report/xml_document.h"
#include "runtime/datetime.h"
#include "runtime/paths.h"
#include "runtime/text.h"
#include "threads/cancelation.h"

namespace SendErrorReport {

namespace {

constexpr std::int64_t kHundredNanosecondsPerHour = 36'000'000'000;

std::wstring trimmed(const std::wstring& text) {
    std::size_t first = 0, last = text.size();
    while (first < last && std::iswspace(text[first])) ++first;
    while (last > first && std::iswspace(text[last - 1])) --last;
    return text.substr(first, last - first);
}

}  // namespace

std::wstring reportSummary(const std::wstring& text) {
    const std::size_t first = text.find_first_not_of(L"\r\n");
    if (first == std::wstring::npos) return text;
    return text.substr(first, text.find_first_of(L"\r\n", first) - first);
}

LogHandler::LogHandler() : LogHandler(std::make_shared<DefaultSystemHelper>()) {}

LogHandler::LogHandler(std::shared_ptr<ISystemHelper> systemHelper) : systemHelper_(std::move(systemHelper)) {
    LogManager::instance().addHandler(this);
}

LogHandler::~LogHandler() { LogManager::instance().removeHandler(this); }

std::wstring LogHandler::getSource() { return L"backend"; }

std::optional<std::uint32_t> LogHandler::deduplicate(const std::wstring& text) {
    if (text.empty()) return std::nullopt;
    const SYSTEMTIME now = systemHelper_->getLocalTime();
    const auto found = sent_.find(text);
    if (found == sent_.end()) {
        const auto added = sent_.emplace(text, Stamp{now, 1}).first;
        if (sent_.size() > kRemembered) {
            // The text reported longest ago goes; never the one just added,
            // whose stamp may tie with the oldest.
            auto oldest = sent_.end();
            for (auto it = sent_.begin(); it != sent_.end(); ++it)
                if (it != added && (oldest == sent_.end() || VDateTime(it->second.time) < VDateTime(oldest->second.time)))
                    oldest = it;
            sent_.erase(oldest);
        }
        return 1;
    }
    Stamp& stamp = found->second;
    ++stamp.hits;
    if ((VDateTime(now) - VDateTime(stamp.time)) / kHundredNanosecondsPerHour < kReportIntervalHours)
        return std::nullopt;
    const std::uint32_t hits = stamp.hits;
    stamp = Stamp{now, 1};
    return hits;
}

void LogHandler::handleMessage(LogLevel level, const std::wstring& text) {
    try {
        if (level < kThreshold || !systemHelper_->isFeedbackEnabled()) return;
        if (const std::optional<std::uint32_t> hits = deduplicate(text)) report(text, *hits);
    } catch (...) {
        // A lost report must not disturb the one who logged; only the
        // thread's cancellation goes on.
        if (ThreadCancelation::isCanceling()) throw;
    }
}

void LogHandler::report(const std::wstring& text, std::uint32_t hits) {
    const std::wstring sender = reportSenderPath(systemHelper_->getProductRoot());
    const std::wstring commandLine = quoteArgument(sender) + L" " + getSource();
    const std::string document = buildReport(text, hits);
    const std::shared_ptr<IProcessHelper> process = systemHelper_->createProcess(commandLine);
    process->start();
    process->write(document);
}

std::string LogHandler::buildReport(const std::wstring& text, std::uint32_t hits) {
    XmlDocument document;
    const XmlDocument::Node error = document.createElement(L"error");
    document.appendText(error, L"source", L"backend");
    document.appendText(error, L"severity", L"error");
    document.appendText(error, L"datetime", systemHelper_->getCurrentTime());
    document.appendText(error, L"summary", reportSummary(text));
    std::wstring component = L"Unknown";
    try {
        component = VFileName::fileName(systemHelper_->moduleName());
    } catch (...) {
        if (ThreadCancelation::isCanceling()) throw;
    }
    document.appendText(error, L"component", component);
    document.appendText(error, L"message", text);
    document.appendText(error, L"hits", toDecimal(hits));

    const XmlDocument::Node info = document.createElement(L"additional_info");
    document.appendText(info, L"command_line", maskSecrets(systemHelper_->getCommandLine()));
    document.appendText(info, L"processId", std::to_wstring(static_cast<std::int32_t>(systemHelper_->getProcessId())));
    document.appendText(info, L"threadId", std::to_wstring(static_cast<std::int32_t>(systemHelper_->getThreadId())));
    try {
        const std::wstring ticket = VFileName::combine(systemHelper_->getProductData(), L"var\\update_ticket");
        if (systemHelper_->fileExists(ticket))
            document.appendText(info, L"update_ticket", trimmed(wstr(systemHelper_->readFile(ticket), CP_UTF8)));
    } catch (...) {
        // The ticket only helps to place the report; the report goes without it.
        if (ThreadCancelation::isCanceling()) throw;
    }
    document.appendChild(error, info);
    document.appendRoot(error);
    return cstr(document.xml(), CP_UTF8);
}

}  // namespace SendErrorReport
