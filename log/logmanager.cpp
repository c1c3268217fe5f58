#include "log/logmanager.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kLevels = 6;

struct LogSettings {
    bool console[kLevels] = {};
    bool eventLog[kLevels] = {};
    std::vector<ILogHandler*> handlers;
    bool consoleStarted = false;
};

LogSettings& settings() {
    static LogSettings block;
    return block;
}

bool validLevel(LogLevel level) { return level >= 0 && level < kLevels; }

void writeConsole(const std::wstring& text) noexcept {
    try {
        const std::string utf8 = cstr(text, CP_UTF8);
        LogSettings& s = settings();
        if (s.consoleStarted) std::printf("\n");
        s.consoleStarted = true;
        std::printf("%s", utf8.c_str());
        std::fflush(stdout);
    } catch (...) {
    }
}

}  // namespace

const wchar_t* logLevelName(int level) noexcept {
    static const wchar_t* const names[kLevels] = {L"Info", L"Warning", L"Result", L"Error", L"Unexpected", L"Crash"};
    return level >= 0 && level < kLevels ? names[level] : L"Unknown level";
}

LogManager::LogManager() { setConsoleOutput(true); }

LogManager& LogManager::instance() {
    static LogManager manager;
    return manager;
}

void LogManager::setConsoleOutput(bool enabled) {
    const bool debug = isDebug();
    LogSettings& s = settings();
    for (int level = 0; level < kLevels; ++level) {
        s.console[level] = enabled && level >= Result;
        s.eventLog[level] = level >= Error || debug;
    }
}

bool LogManager::isDebug() {
    // The "Debug" switch lives in the configuration key, which the registry
    // layer reads; until then the agent runs as with the switch absent.
    return false;
}

void LogManager::addHandler(ILogHandler* handler) { settings().handlers.push_back(handler); }

void LogManager::removeHandler(ILogHandler* handler) {
    auto& handlers = settings().handlers;
    handlers.erase(std::remove(handlers.begin(), handlers.end(), handler), handlers.end());
}

void LogManager::writeBuiltIn(LogLevel level, const std::wstring& text) noexcept {
    // The log file and the event log join here; each swallows its own failures.
    if (validLevel(level) && settings().console[level]) writeConsole(text);
}

void LogManager::dispatch(LogLevel level, const std::wstring& text) noexcept {
    writeBuiltIn(level, text);
    try {
        for (ILogHandler* handler : std::vector<ILogHandler*>(settings().handlers)) handler->handleMessage(level, text);
    } catch (...) {
    }
}

void LogManager::log(LogLevel level, const vexception& e) {
    std::wstring text;
    try {
        text = fullMessage(e);
    } catch (...) {
        return;
    }
    writeBuiltIn(level, text);
    for (ILogHandler* handler : std::vector<ILogHandler*>(settings().handlers)) handler->handleException(level, e);
}
