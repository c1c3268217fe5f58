// Reading back the agent's log file, and recording what reaches the log manager's handlers.
#pragma once

#include <windows.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "log/log_level.h"
#include "log/logmanager.h"
#include "tests/support/process_runner.h"

namespace test_log {

// The folders of an installation root (admin, its logs, bin64) and the event message file, as the package has them:
// the agent names no other message file (and notes why).
inline void makeInstallation(const std::wstring& root) {
    for (const wchar_t* folder : {L"\\admin", L"\\admin\\logs", L"\\admin\\bin64"})
        CreateDirectoryW((root + folder).c_str(), nullptr);
    CopyFileW(test_process::siblingPath(L"eventmsg.dll").c_str(), (root + L"\\admin\\bin64\\eventmsg.dll").c_str(), FALSE);
}

// Today's log file below an installation root.
inline std::wstring todaysLogFile(const std::wstring& root) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    const unsigned day = now.wYear * 10000 + now.wMonth * 100 + now.wDay;
    return root + L"\\admin\\logs\\korvolog_debug" + std::to_wstring(day) + L".log";
}

// The bytes of a UTF-16LE file as text; an odd last byte is dropped.
inline std::wstring utf16Text(const std::string& bytes) {
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

// The records of a log file's text, stamps removed: each line must open with "yyyy/mm/dd hh:mm:ss.mmm pid tid " and end
// with CRLF. parsed (when given) tells whether every line did; a line that does not is kept whole.
inline std::vector<std::wstring> recordsOf(const std::wstring& text, bool* parsed = nullptr) {
    static const std::wregex stamp(L"^\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} -?\\d+ -?\\d+ ");
    std::vector<std::wstring> records;
    bool ok = true;
    for (std::size_t start = text.starts_with(wchar_t(0xFEFF)) ? 1 : 0, end; start < text.size(); start = end + 2) {
        end = std::min(text.find(L"\r\n", start), text.size());
        ok = ok && end < text.size();
        const std::wstring line = text.substr(start, end - start);
        std::wsmatch match;
        ok = std::regex_search(line, match, stamp) && ok;
        records.push_back(line.substr(match.length()));
    }
    if (parsed) *parsed = ok;
    return records;
}

// Records "Level: text" of every record while it lives, "Level: message" of an exception logged as such; with throws
// set, it throws from both.
struct Recorder : ILogHandler {
    std::vector<std::wstring> records;
    bool throws = false;
    Recorder() { LogManager::instance().addHandler(this); }
    ~Recorder() override { LogManager::instance().removeHandler(this); }
    void handleMessage(LogLevel level, const std::wstring& text) override { record(level, text); }
    void handleException(LogLevel level, const vexception& e) override { record(level, e.message()); }
    void record(LogLevel level, const std::wstring& text) {
        records.push_back(std::wstring(logLevelName(level)) + L": " + text);
        if (throws) throw 1;
    }
};

}  // namespace test_log
