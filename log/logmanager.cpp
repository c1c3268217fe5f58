#include "log/logmanager.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <type_traits>

#include "log/event_source.h"
#include "log/last_chance.h"
#include "log/logfile.h"
#include "runtime/critical_section.h"
#include "runtime/execute_context.h"
#include "runtime/files.h"
#include "runtime/paths.h"
#include "runtime/registry.h"
#include "runtime/text.h"
#include "threads/cancelation.h"
#include "threads/sync.h"
#include "tracing/driver.h"

namespace {

constexpr int kLevels = LogSettings::kLevels;

void destroySettings(LogSettings* settings) noexcept { delete settings; }

LogSettings& settings() {
    ExecuteContext& context = executeContext();
    if (!context.logging) {
        context.logging = new LogSettings;
        context.destroyLogging = &destroySettings;
    }
    return *context.logging;
}

// Every cancelled thread leaves a record, in every program on the log, also
// one that has not logged yet.
void recordCancelation(std::uint32_t threadId) {
    LogManager::instance().log(Info, L"Thread #%d is going to be canceled!", static_cast<int>(threadId));
}

void recordTracingOff(const std::wstring& text) { LogManager::instance().log(Warning, L"%s", text); }

// Likewise every program on the log ends a fault nothing handled with a
// dump and a record, and says why tracing switched itself off.
struct CancelationNoticeInstallation {
    CancelationNoticeInstallation() noexcept {
        ThreadCancelation::setCancelationNotice(&recordCancelation);
        setTracingOffNotice(&recordTracingOff);
        installLastChance();
    }
} g_cancelationNotice;

bool validLevel(LogLevel level) { return level >= 0 && level < kLevels; }

constexpr wchar_t kRegistrationMutex[] = L"Global\\{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}";
// Every process of every session registers under that one lock, which any of
// them can take and keep: a process waits for it this long at most
// (LockBudget), then registers without it (the work is the same, whoever
// does it first).
constexpr std::uint32_t kRegistrationLockWaitMs = 5000;
constexpr DWORD kTypesSupported = 7;
constexpr wchar_t kRegistrationFailed[] =
    L"The registry entries of event source '%s' could not be made, so its records may reach the Application log "
    L"without their text: %s";
constexpr wchar_t kMessageFileMissing[] =
    L"Event source '%s' keeps the message file it names: %s does not exist, and naming it would leave every record "
    L"without its text";

// A value of another type is as good as missing. The one string, a path,
// compares without case, as the file system names files.
template <class Value>
bool holds(const std::wstring& key, const wchar_t* name, const Value& expected) {
    try {
        Value current{};
        if constexpr (std::is_same_v<Value, DWORD>)
            return registry::lookup(HKEY_LOCAL_MACHINE, key, name, current, registry::View::Native) == ERROR_SUCCESS &&
                   current == expected;
        else
            return registry::lookup(HKEY_LOCAL_MACHINE, key, name, current, REG_SZ, registry::View::Native) ==
                       ERROR_SUCCESS &&
                   RunTime::striequal(current, expected);
    } catch (const vexception&) {
        return false;
    }
}

// Once per process each, and into the log file alone: the event log is what
// may be missing the records.
void noteOnce(std::atomic<bool>& noted, const std::wstring& text) {
    if (noted.exchange(true)) return;
    try {
        LogFile file(kManagerLogName, kManagerLogEnabledByDefault);
        file.write(std::wstring(logLevelName(Warning)) + L": " + text);
    } catch (...) {
        if (ThreadCancelation::isCanceling()) throw;
    }
}

// The log's key, and the source's values where missing or different: a
// registered source then needs no write access, and a run leaves the
// registry alone.
void registerSource(const std::wstring& sourceName) {
    static LockBudget budget(kRegistrationLockWaitMs);
    ExclusiveTask registration;
    registration.hold(kRegistrationMutex, budget);
    // An existing log keeps the size and retention someone chose for it.
    const std::wstring logKey = eventLogKey();
    if (!registry::keyExists(HKEY_LOCAL_MACHINE, logKey.c_str(), registry::View::Native)) {
        const registry::Key log(HKEY_LOCAL_MACHINE, logKey, KEY_ALL_ACCESS, false);
        registry::set(log.get(), L"MaxSize", DWORD{0x800000});
        registry::set(log.get(), L"Retention", DWORD{0});
    }
    const std::wstring sourceKey = eventSourceKey(sourceName);
    registry::Key source;
    const auto writable = [&]() -> HKEY {
        if (!source.valid()) source = registry::Key(HKEY_LOCAL_MACHINE, sourceKey, KEY_SET_VALUE, false);
        return source.get();
    };
    if (!holds(sourceKey, L"TypesSupported", kTypesSupported)) registry::set(writable(), L"TypesSupported", kTypesSupported);
    // Without a full root there is no message file to name: a relative one
    // would be found below the task's current folder.
    const std::wstring root = registry::productRoot();
    if (!VFileName::isFullyQualified(root)) return;
    const std::wstring messageFile = eventMessageFile(root);
    if (holds(sourceKey, kMessageFileValue, messageFile)) return;
    // A file that is not there (below a mistyped root) is not named: the one
    // registered may still render the records.
    bool isDirectory = false;
    if (fileExist(messageFile, &isDirectory) && !isDirectory) {
        registry::set(writable(), kMessageFileValue, messageFile);
    } else {
        static std::atomic<bool> noted{false};
        noteOnce(noted, formatString(kMessageFileMissing, sourceName, messageFile));
    }
}

void noteRegistrationFailure(const std::wstring& sourceName, const std::wstring& why) {
    static std::atomic<bool> noted{false};
    noteOnce(noted, formatString(kRegistrationFailed, sourceName, why));
}

WORD eventType(LogLevel level) {
    switch (level) {
        case Info: return EVENTLOG_INFORMATION_TYPE;
        case Warning: return EVENTLOG_WARNING_TYPE;
        case Result: return EVENTLOG_SUCCESS;
        default: return EVENTLOG_ERROR_TYPE;
    }
}

// Whether "Debug" is on, for the log file: asked only for the records it
// decides, those below Error.
bool debugAsked(LogLevel level) { return level < Error && LogManager::instance().isDebug(); }

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

LogManager::LogManager() {
    // The first module to reach the shared block fills in the defaults.
    const bool created = !executeContext().logging;
    settings();
    if (created) setConsoleOutput(true);
}

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

bool LogManager::isDebug() { return registry::debugEnabled(); }

LogManager::~LogManager() {
    const RunTime::CriticalSectionLock hold(eventSourceLock_.get());
    eventSource_.reset();
}

HANDLE LogManager::getEventLog() {
    const RunTime::CriticalSectionLock hold(eventSourceLock_.get());
    if (eventSource_.valid()) return eventSource_.get();
    if (eventSourceName_.empty()) eventSourceName_ = RunTime::executableFileName();
    try {
        registerSource(eventSourceName_);
    } catch (const vexception& e) {
        noteRegistrationFailure(eventSourceName_, fullMessage(e));
    } catch (...) {
        if (ThreadCancelation::isCanceling()) throw;
        noteRegistrationFailure(eventSourceName_, L"an unexpected failure");
    }
    // Whatever the registry work did: without the source's key, the records
    // still go out, to the Application log.
    try {
        eventSource_.reset(RegisterEventSourceW(nullptr, eventSourceName_.c_str()));
        if (!eventSource_.valid()) throwLastOsError(L"RegisterEventSource", "LogManager::getEventLog", 415);
    } catch (...) {
        if (ThreadCancelation::isCanceling()) throw;
    }
    return eventSource_.get();
}

void LogManager::writeEventLog(LogLevel level, const std::wstring& text, bool wait) {
    try {
        // Held across the report: another thread must not deregister the
        // source while this one reports through it. Registering it takes a
        // global mutex.
        const RunTime::CriticalSectionLock hold(eventSourceLock_.get(), wait);
        if (!hold.held()) return;
        const HANDLE source = wait ? getEventLog() : eventSource_.get();
        if (!source) return;
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        const wchar_t* strings[] = {text.c_str(), path};
        if (!ReportEventW(source, eventType(level), 0, kEventId, nullptr, 2, 0, strings, nullptr)) {
            // Registered again by the next record.
            eventSource_.reset();
        }
    } catch (...) {
        if (ThreadCancelation::isCanceling()) throw;
    }
}

void LogManager::addHandler(ILogHandler* handler) { settings().handlers.push_back(handler); }

void LogManager::removeHandler(ILogHandler* handler) {
    auto& handlers = settings().handlers;
    handlers.erase(std::remove(handlers.begin(), handlers.end(), handler), handlers.end());
}

// Each writer swallows its own failures, so that a failing destination
// does not keep the record from the others.
void LogManager::writeBuiltIn(LogLevel level, const std::wstring& text) {
    writeLogFileRecord(level, text, debugAsked(level));
    if (!validLevel(level)) return;
    if (settings().eventLog[level]) writeEventLog(level, text);
    if (settings().console[level]) writeConsole(text);
}

void LogManager::logWithoutWaiting(LogLevel level, const std::wstring& text) noexcept {
    try {
        writeLogFileRecord(level, text, debugAsked(level), false);
        if (validLevel(level) && settings().eventLog[level]) writeEventLog(level, text, false);
    } catch (...) {
    }
}

void LogManager::dispatch(LogLevel level, const std::wstring& text) {
    try {
        writeBuiltIn(level, text);
        for (ILogHandler* handler : std::vector<ILogHandler*>(settings().handlers)) handler->handleMessage(level, text);
    } catch (...) {
        if (ThreadCancelation::isCanceling()) throw;
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
