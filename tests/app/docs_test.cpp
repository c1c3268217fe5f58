// The operator's documentation against the program's own names, messages
// and defaults: a table row that drifts from the code fails here.
#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "crash/crashdump.h"
#include "errors/format.h"
#include "log/logfile.h"
#include "log/logmanager.h"
#include "report/helpers.h"
#include "runtime/registry.h"
#include "runtime/text.h"
#include "task/adapter.h"
#include "tracing/driver.h"

namespace {

using Row = std::vector<std::wstring>;

struct Document {
    std::wstring text;
    std::map<std::wstring, std::vector<Row>> sections;  // table rows in order, by "## " heading

    // The row whose first cell, backticks dropped, is key; empty when none.
    Row row(const std::wstring& section, const std::wstring& key) const {
        const auto found = sections.find(section);
        if (found != sections.end())
            for (const Row& row : found->second)
                if (row.front() == key) return row;
        return {};
    }
};

std::wstring unquoted(std::wstring cell) {
    const std::size_t first = cell.find_first_not_of(L' '), last = cell.find_last_not_of(L' ');
    cell = first == std::wstring::npos ? L"" : cell.substr(first, last - first + 1);
    if (cell.size() > 1 && cell.front() == L'`' && cell.back() == L'`') cell = cell.substr(1, cell.size() - 2);
    return cell;
}

const Document& operatorGuide() {
    static const Document document = [] {
        Document d;
        std::ifstream file(RD_SOURCE_DIR "/docs/operator.md", std::ios::binary);
        std::ostringstream bytes;
        bytes << file.rdbuf();
        d.text = wstr(bytes.str(), CP_UTF8);
        std::wistringstream lines(d.text);
        std::wstring line, heading;
        while (std::getline(lines, line)) {
            if (line.rfind(L"## ", 0) == 0) heading = line.substr(3);
            if (line.rfind(L"| ", 0) != 0 || line.rfind(L"| ---", 0) == 0) continue;
            Row cells;
            for (std::size_t at = 1, bar; (bar = line.find(L" |", at)) != std::wstring::npos; at = bar + 2)
                cells.push_back(unquoted(line.substr(at, bar - at)));
            d.sections[heading].push_back(cells);
        }
        return d;
    }();
    return document;
}

TEST(OperatorGuide, TaskVariablesInTheOrderCheckedWithTheAgentsMessages) {
    const Document& guide = operatorGuide();
    ASSERT_FALSE(guide.text.empty()) << "docs/operator.md not read";
    std::vector<std::wstring> required;
    for (const Row& row : guide.sections.at(L"The task contract"))
        if (row.at(1) == L"yes") required.push_back(row.front());
    EXPECT_EQ(required, std::vector<std::wstring>(std::begin(Rundock::Adapter::kRequiredVariables),
                                                  std::end(Rundock::Adapter::kRequiredVariables)));
    for (const std::wstring& name : required)
        EXPECT_EQ(guide.row(L"The task contract", name).at(3).rfind(
                      formatString(Rundock::Adapter::kUndefinedMessage, name), 0), 0u) << name;
    EXPECT_NE(guide.row(L"The task contract", L"RD_TIMEOUT")
                  .at(3)
                  .find(formatString(Rundock::Adapter::kInvalidMessage, L"RD_TIMEOUT", L"<text>")),
              std::wstring::npos);
}

TEST(OperatorGuide, ExitCodesAreTheOnesTheRunRecords) {
    for (const std::uint32_t code : {0u, 1u, Rundock::Adapter::kTimeoutExitCode,
                                     Rundock::Adapter::kAbandonedExitCode, std::uint32_t(EXCEPTION_ACCESS_VIOLATION)})
        EXPECT_FALSE(operatorGuide().row(L"Exit codes", std::to_wstring(code)).empty()) << code;
}

TEST(OperatorGuide, ConfigurationTableNamesEveryValueWithItsDefault) {
    const std::wstring logSwitch = std::wstring(L"log_") + kManagerLogName + L"_enabled";
    // value → its default column; 0 is off for the switches without a constant.
    const std::map<std::wstring, std::wstring> values = {
        {registry::kProductRoot, L"none"},
        {registry::kProductData, L"none"},
        {registry::kDebug, L"0"},
        {logSwitch, std::to_wstring(kManagerLogEnabledByDefault)},
        {SendErrorReport::DefaultSystemHelper::kFeedbackValue, L"on"},
        {CrashDumpInfo::kEnabledValue, std::to_wstring(CrashDumpInfo::kEnabledByDefault)},
        {CrashDumpInfo::kLocationValue,
         std::wstring(L"<") + registry::kProductRoot + L">\\" + CrashDumpInfo::kDefaultLocation},
        {CrashDumpInfo::kMaxCountValue, std::to_wstring(CrashDumpInfo::kDefaultMaxCount)},
        {kTracingEnabledValue, L"0"},
        {registry::kPipeConnectTryCount, L"0"},
    };
    const Document& guide = operatorGuide();
    EXPECT_NE(guide.text.find(registry::kConfigKey), std::wstring::npos);
    EXPECT_EQ(guide.sections.at(L"Configuration values").size(), values.size() + 1);  // and the header row
    for (const auto& [name, defaultText] : values) {
        const Row row = guide.row(L"Configuration values", name);
        ASSERT_EQ(row.size(), 4u) << name;
        EXPECT_EQ(row[2], defaultText) << name;
    }
    EXPECT_NE(guide.row(L"Configuration values", SendErrorReport::DefaultSystemHelper::kFeedbackValue)
                  .at(3)
                  .find(std::wstring(L"`") + SendErrorReport::DefaultSystemHelper::kFeedbackOff + L"`"),
              std::wstring::npos);
}

TEST(OperatorGuide, LogLevelsAndTheEventAreTheLoggersOwn) {
    const Document& guide = operatorGuide();
    for (int level = 0; level < LogSettings::kLevels; ++level)
        EXPECT_EQ(guide.row(L"The log file", std::to_wstring(level)).at(1), logLevelName(level));
    EXPECT_EQ(guide.row(L"The event log", L"log").at(1).rfind(std::wstring(L"`") + LogManager::kEventLogName + L"`", 0),
              0u);
    EXPECT_EQ(guide.row(L"The event log", L"event").at(1).rfind(L"`" + std::to_wstring(LogManager::kEventId) + L"`", 0),
              0u);
}

}  // namespace
