// The daily UTF-16 log file under the installation root, shared by every
// process that logs. It is opened, appended to and closed for every record,
// under a named mutex, so that no two writers interleave.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "threads/sync.h"

class LogFile {
public:
    // name "" stands for the running executable's file name. Reads the
    // enable switch; when the file is enabled, also the installation root,
    // and opens the named mutex.
    LogFile(const std::wstring& name, std::uint32_t enabledByDefault);

    bool enabled() const noexcept { return enabled_ != 0; }

    // One record line, stamped and ended with CRLF; nothing when disabled.
    // Without wait the mutex is left alone: the record still lands whole,
    // only perhaps out of order.
    void write(const std::wstring& line, bool wait = true);

private:
    // "korvolog_" + name + yyyymmdd + ".log" for the given local date.
    std::wstring fileName(const SYSTEMTIME& localDate) const;

    std::wstring name_;
    DWORD enabled_ = 1;
    std::wstring directory_;
    std::unique_ptr<VMutex> mutex_;
};

// For tests only: the mutexes of this process's log files take this prefix
// (null: none). Writers of two sessions hold two mutexes of one name, which
// Wine, running every process in one session, cannot show otherwise. Set
// before the first record; the text must outlive every record.
void setLogFileMutexPrefix(const wchar_t* prefix) noexcept;

// The manager's file: its name component and the default of its enable
// switch ("log_debug_enabled").
inline constexpr wchar_t kManagerLogName[] = L"debug";
inline constexpr std::uint32_t kManagerLogEnabledByDefault = 1;

// The manager's file writer: "debug" file, Info to Result only when debug
// (whether "Debug" is on) is set. Swallows every failure (the record is then
// missing from the file only) but a cancellation of the thread.
void writeLogFileRecord(int level, const std::wstring& text, bool debug, bool wait = true);
