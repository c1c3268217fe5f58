// The process's entry point for log records: levels, per-level switches,
// console echo and registered handlers.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "errors/format.h"
#include "errors/vexception.h"
#include "log/log_level.h"
#include "threads/sync.h"

class ILogHandler;

// The switches and handlers every module of the process logs with; held in
// the execute context.
struct LogSettings {
    static constexpr int kLevels = 6;
    bool console[kLevels] = {};
    bool eventLog[kLevels] = {};
    std::vector<ILogHandler*> handlers;
    bool consoleStarted = false;
};

class ILogHandler {
public:
    virtual ~ILogHandler() = default;
    virtual void handleException(LogLevel level, const vexception& e) { handleMessage(level, fullMessage(e)); }
    virtual void handleMessage(LogLevel level, const std::wstring& text) = 0;
};

class LogManager {
public:
    static LogManager& instance();

    // The panel's own event log, and the one event every record is
    // reported as (admin\bin64\eventmsg.dll renders it).
    static constexpr wchar_t kEventLogName[] = L"Korvo";
    static constexpr DWORD kEventId = 1;

    // Never throws: a record whose format fails is dropped. Only the
    // cancellation of the calling thread passes, hence not noexcept.
    template <class... Args>
    void log(LogLevel level, const wchar_t* format, const Args&... args) {
        std::wstring text;
        try {
            text = formatString(format, args...);
        } catch (...) {
            return;
        }
        dispatch(level, text);
    }

    // Passes on only what a handler throws.
    void log(LogLevel level, const vexception& e);

    // For a thread that must not wait (one that is ending the process while
    // it is being cancelled): the record goes to the log file, unordered by
    // its mutex, and to the event log when its source is registered and
    // free; not to the console or the handlers, which may wait. Never throws.
    void logWithoutWaiting(LogLevel level, const std::wstring& text) noexcept;

    void addHandler(ILogHandler* handler);
    void removeHandler(ILogHandler* handler);
    void setConsoleOutput(bool enabled);
    bool isDebug();

    // The event source, registered on first use; null while registration fails.
    HANDLE getEventLog();

private:
    LogManager();
    ~LogManager();
    void dispatch(LogLevel level, const std::wstring& text);
    void writeBuiltIn(LogLevel level, const std::wstring& text);
    void writeEventLog(LogLevel level, const std::wstring& text, bool wait = true);

    // Any thread may log: the source's name, handle and registration change
    // only under this lock.
    VCriticalSection eventSourceLock_;
    struct EventSourceTraits : RunTime::HandleTraits {
        static void close(HANDLE source) noexcept { DeregisterEventSource(source); }
    };
    RunTime::Owner<EventSourceTraits> eventSource_;
    std::wstring eventSourceName_;
};
