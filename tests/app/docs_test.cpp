// The operator's guide against the program's own names, messages and defaults: a table row that drifts fails here.
#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <sstream>

#include "crash/crashdump.h"
#include "errors/format.h"
#include "log/last_chance.h"
#include "log/log_level.h"
#include "log/logfile.h"
#include "log/logmanager.h"
#include "report/helpers.h"
#include "runtime/registry.h"
#include "runtime/text.h"
#include "task/adapter.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"
#include "tracing/driver.h"

namespace {

using Rundock::Adapter;

std::wstring guide() { return wstr(test_support::readBytes(test_process::siblingPath(L"operator.md")), CP_UTF8); }

// The table rows under the guide's "## section" heading, each cell unquoted from its backticks.
std::vector<std::vector<std::wstring>> rows(const std::wstring& section) {
    std::vector<std::vector<std::wstring>> found;
    std::wistringstream lines(guide());
    std::wstring line, heading;
    while (std::getline(lines, line)) {
        if (line.rfind(L"## ", 0) == 0) heading = line.substr(3);
        if (heading != section || line.rfind(L"| ", 0) != 0 || line.rfind(L"| ---", 0) == 0) continue;
        found.emplace_back();
        for (std::size_t at = 2, bar; (bar = line.find(L" |", at)) != std::wstring::npos; at = bar + 3) {
            const std::wstring cell = line.substr(at, bar - at);
            const bool quoted = cell.size() > 1 && cell.front() == L'`' && cell.back() == L'`';
            found.back().push_back(quoted ? cell.substr(1, cell.size() - 2) : cell);
        }
    }
    return found;
}

// The cell of the section's row whose first cell is key; empty when none.
std::wstring cell(const std::wstring& section, const std::wstring& key, std::size_t column) {
    for (const auto& row : rows(section))
        if (row.front() == key && row.size() > column) return row[column];
    return L"";
}

}  // namespace

TEST(OperatorGuide, TablesHoldTheProgramsVariablesMessagesExitCodesConfigurationDefaultsAndLogNames) {
    std::vector<std::wstring> required;
    for (const auto& row : rows(L"The task contract"))
        if (row.at(1) == L"yes") required.push_back(row.front());
    EXPECT_EQ(required, std::vector<std::wstring>(std::begin(Adapter::kRequiredVariables),
                                                  std::end(Adapter::kRequiredVariables)));
    for (const std::wstring& name : required)
        EXPECT_EQ(cell(L"The task contract", name, 3).rfind(formatString(Adapter::kUndefinedMessage, name), 0), 0u);
    const std::wstring invalid = formatString(Adapter::kInvalidMessage, L"RD_TIMEOUT", L"<text>");
    EXPECT_NE(cell(L"The task contract", L"RD_TIMEOUT", 3).find(invalid), std::wstring::npos);
    for (const std::uint32_t code : {0u, 1u, Adapter::kTimeoutExitCode, Adapter::kAbandonedExitCode,
                                     std::uint32_t(EXCEPTION_ACCESS_VIOLATION), std::uint32_t(kRuntimeEndCode)})
        EXPECT_NE(cell(L"Exit codes", std::to_wstring(code), 2), L"") << code;
    using Feedback = SendErrorReport::DefaultSystemHelper;
    // value → its default column; 0 is off for the switches without a constant.
    const std::map<std::wstring, std::wstring> values = {
        {registry::kProductRoot, L"none"}, {registry::kProductData, L"none"}, {registry::kDebug, L"0"},
        {std::wstring(L"log_") + kManagerLogName + L"_enabled", std::to_wstring(kManagerLogEnabledByDefault)},
        {Feedback::kFeedbackValue, L"on"}, {kTracingEnabledValue, L"0"}, {registry::kPipeConnectTryCount, L"0"},
        {CrashDumpInfo::kEnabledValue, std::to_wstring(CrashDumpInfo::kEnabledByDefault)},
        {CrashDumpInfo::kLocationValue,
         std::wstring(L"<") + registry::kProductRoot + L">\\" + CrashDumpInfo::kDefaultLocation},
        {CrashDumpInfo::kMaxCountValue, std::to_wstring(CrashDumpInfo::kDefaultMaxCount)},
    };
    EXPECT_NE(guide().find(registry::kConfigKey), std::wstring::npos);
    EXPECT_EQ(rows(L"Configuration values").size(), values.size() + 1);  // and the header row
    // The sample key the package installs names every value, set or commented out.
    const std::wstring sample = wstr(test_support::readBytes(test_process::siblingPath(L"rundock-sample.reg")), CP_UTF8);
    for (const auto& [name, defaultText] : values) {
        EXPECT_EQ(cell(L"Configuration values", name, 2), defaultText) << name;
        EXPECT_NE(sample.find(L'"' + name + L"\"="), std::wstring::npos) << name;
    }
    const std::wstring off = std::wstring(L"`") + Feedback::kFeedbackOff + L"`";
    EXPECT_NE(cell(L"Configuration values", Feedback::kFeedbackValue, 3).find(off), std::wstring::npos);
    for (int level = 0; level < LogSettings::kLevels; ++level)
        EXPECT_EQ(cell(L"The log file", std::to_wstring(level), 1), logLevelName(level));
    EXPECT_EQ(cell(L"The event log", L"log", 1).rfind(std::wstring(L"`") + LogManager::kEventLogName + L"`", 0), 0u);
    EXPECT_EQ(cell(L"The event log", L"event", 1).rfind(L"`" + std::to_wstring(LogManager::kEventId) + L"`", 0), 0u);
    EXPECT_EQ(cell(L"Records the agent writes", formatString(kTracingOffMessage, L"<path>", L"<why>"), 1), L"Warning");
}
