#include "log/logfile.h"

#include <windows.h>

#include <atomic>

#include "errors/format.h"
#include "log/log_folder.h"
#include "log/log_level.h"
#include "runtime/files.h"
#include "runtime/paths.h"
#include "threads/cancelation.h"

namespace {

// Any process of the session can take the file's mutex and keep it; a
// record waits for it this long at most (LockBudget), then is written
// without it. Well above a queue of hundreds of writers at once.
constexpr std::uint32_t kLogFileLockWaitMs = 5000;

std::atomic<const wchar_t*> g_mutexPrefix{L""};

LockBudget& logFileLockBudget() {
    static LockBudget budget(kLogFileLockWaitMs);
    return budget;
}

// The raw wait, not the cancellable one: a cancelled thread ending the
// process must neither wait nor throw on its way to the record.
bool tryWithoutWait(VMutex& mutex) noexcept {
    const DWORD result = WaitForSingleObject(mutex.handle(), 0);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

// Holds the mutex, if there is one and the process's budget gets it.
class MutexHold {
public:
    // Without wait, the mutex is only tried: the writer may hold what its holder needs.
    MutexHold(VMutex* mutex, bool wait) {
        if (mutex && (wait ? logFileLockBudget().wait([&](std::uint32_t ms) { return mutex->lock(ms); })
                           : tryWithoutWait(*mutex)))
            mutex_ = mutex;
    }
    ~MutexHold() {
        try {
            if (mutex_) mutex_->unlock();
        } catch (...) {
        }
    }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;
    bool held() const noexcept { return mutex_ != nullptr; }

private:
    VMutex* mutex_ = nullptr;
};

}  // namespace

LogFile::LogFile(const std::wstring& name, std::uint32_t enabledByDefault)
    : name_(name.empty() ? RunTime::executableFileName() : name), enabled_(enabledByDefault) {
    enabled_ = logFileSwitch(name_, enabled_);
    if (!enabled()) return;
    directory_ = logFolder();
    try {
        const std::wstring mutexName = g_mutexPrefix.load() + (L"korvolog_" + name_) + L"_mutex";
        mutex_ = std::make_unique<VMutex>(false, mutexName.c_str());
    } catch (...) {
        // Someone made the name ours cannot open: written as when it is held.
        if (ThreadCancelation::isCanceling()) throw;
    }
}

std::wstring LogFile::fileName(const SYSTEMTIME& localDate) const {
    return formatString(L"korvolog_%s%04d%02d%02d.log", name_, localDate.wYear, localDate.wMonth, localDate.wDay);
}

void LogFile::write(const std::wstring& line, bool wait) {
    if (!enabled()) return;
    const MutexHold hold(mutex_.get(), wait);
    SYSTEMTIME now;
    GetLocalTime(&now);
    // Append-only access: every write lands whole at the end, also among
    // writers that hold different mutexes (the name is per logon session);
    // a seek to the end and a write would let them overwrite each other.
    VFile file;
    // Without the lock only to a file that has its byte-order mark: two
    // writers could each find an empty file and give it one.
    file.open(VFileName::toLongPath(VFileName::combine(directory_, fileName(now))),
              FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
              hold.held() ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    LARGE_INTEGER size{};
    const bool empty = GetFileSizeEx(file.handle(), &size) && size.QuadPart == 0;
    if (empty && !hold.held()) return;
    GetLocalTime(&now);
    // One write per record, the byte-order mark of a new file with it: a
    // reader never sees half a line.
    const std::wstring record =
        std::wstring(empty ? 1 : 0, wchar_t(0xFEFF)) +
        formatString(L"%04d%s%02d%s%02d %02d:%02d:%02d.%03d %d %d ", now.wYear, L"/", now.wMonth, L"/", now.wDay,
                     now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, static_cast<int>(GetCurrentProcessId()),
                     static_cast<int>(GetCurrentThreadId())) +
        line + L"\r\n";
    file.write(record.data(), static_cast<std::uint32_t>(record.size() * sizeof(wchar_t)), true);
}

void setLogFileMutexPrefix(const wchar_t* prefix) noexcept { g_mutexPrefix.store(prefix ? prefix : L""); }

void writeLogFileRecord(int level, const std::wstring& text, bool debug, bool wait) {
    try {
        if (level < Error && !debug) return;
        LogFile file(kManagerLogName, kManagerLogEnabledByDefault);
        file.write(std::wstring(logLevelName(level)) + L": " + text, wait);
    } catch (...) {
        // The wait for the mutex is cancellable; the cancellation must pass.
        if (ThreadCancelation::isCanceling()) throw;
    }
}
