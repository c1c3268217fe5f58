// Crash dumps: the process-wide settings, built before the program's other
// static objects; the heap-corruption filter; dump writing, and trimming of
// the dump directory at exit. Nothing here lets an error escape to the
// program: a failed set-up leaves dumps off, failed writes are swallowed by
// both callers.
#pragma once

#include <windows.h>
#include <dbghelp.h>

#include <cstdint>
#include <memory>
#include <string>

#include "runtime/critical_section.h"

// One registration in the process's vectored exception handler list, first
// in line; removed on destruction.
class VectoredExceptionHandler {
public:
    // A null filter registers nothing.
    explicit VectoredExceptionHandler(PVECTORED_EXCEPTION_HANDLER filter) noexcept;
    virtual ~VectoredExceptionHandler();
    VectoredExceptionHandler(const VectoredExceptionHandler&) = delete;
    VectoredExceptionHandler& operator=(const VectoredExceptionHandler&) = delete;

    bool registered() const noexcept { return registration_ != nullptr; }

private:
    PVOID registration_ = nullptr;
};

class HeapCorruptionHandler : public VectoredExceptionHandler {
public:
    // Registers onHeapCorruption when enabled.
    explicit HeapCorruptionHandler(bool enabled) noexcept;
    ~HeapCorruptionHandler() override = default;
};

class CrashDumpInfo {
public:
    // Reads the settings, creates the dump directory and registers the
    // heap-corruption filter; any failure leaves dumps off.
    CrashDumpInfo() noexcept;
    // Trims the directory, then removes the filter.
    ~CrashDumpInfo();
    CrashDumpInfo(const CrashDumpInfo&) = delete;
    CrashDumpInfo& operator=(const CrashDumpInfo&) = delete;

    // Configuration values and their defaults.
    static constexpr wchar_t kEnabledValue[] = L"CrashDumpsEnabled";
    static constexpr wchar_t kLocationValue[] = L"CrashDumpsLocation";
    static constexpr wchar_t kMaxCountValue[] = L"CrashDumpsMaxCount";
    static constexpr wchar_t kDefaultLocation[] = L"etc\\crashdumps";  // under the installation root
    static constexpr std::uint32_t kEnabledByDefault = 1;
    static constexpr std::uint32_t kDefaultMaxCount = 10;

    bool enabled() const noexcept { return enabled_; }
    std::uint32_t maxCount() const noexcept { return maxCount_; }
    const std::wstring& location() const noexcept { return location_; }
    bool filterRegistered() const noexcept { return handler_ && handler_->registered(); }

    // The next dump's full path in long form, by the local time, composed in
    // the fixed buffers of this object: no allocation. Throws when dumps are
    // off or the path would not fit in 260 characters. taken: how often this
    // name was found taken already; from 1 on, the time of the last call
    // stays and "_<process id>_<taken>" goes before ".dmp". Callers on
    // several threads hold the lock while they use the name.
    const std::wstring& getFileName(std::uint32_t taken = 0);
    // The buffer of a dump's name. The long form adds at most "\\?\UNC" to a
    // location; a taken name adds "_" + a process id + "_" + a count below 1000.
    static constexpr std::size_t kPathCapacity = 260 + 6 + 1 + 10 + 1 + 3 + 1;
    // How often a taken name is made distinct before the dump is given up.
    static constexpr std::uint32_t kMostTakenNames = 999;

    // Deletes the oldest dumps beyond maxCount; nothing when dumps are off.
    // Run at exit, and by the last chance, whose end runs no destructor.
    void trim() noexcept;

    class Lock : public RunTime::CriticalSectionLock {
    public:
        explicit Lock(CrashDumpInfo& settings, bool wait = true) noexcept
            : CriticalSectionLock(settings.lock_, wait) {}
    };

private:
    void setUp();
    // location\prefix + yyyymmdd_hhmmss.dmp, as the operator names it.
    std::size_t dumpPathLength() const noexcept;

    bool enabled_ = true;
    std::uint32_t maxCount_ = kDefaultMaxCount;
    std::wstring location_;
    std::wstring longLocation_;  // location_ in "\\?\" form, for names near 260 characters
    std::wstring prefix_;
    wchar_t stampBuffer_[20] = {};
    std::wstring fileName_;
    wchar_t pathBuffer_[kPathCapacity] = {};
    std::unique_ptr<VectoredExceptionHandler> handler_;
    CRITICAL_SECTION lock_;
};

// The process-wide settings.
CrashDumpInfo& crashDumpInfo() noexcept;

// MiniDumpWithDataSegs | MiniDumpWithFullMemory | MiniDumpWithHandleData.
inline constexpr std::uint32_t kCrashDumpType = 7;

// Writes one dump of the process for pointers when dumps are on. thread is
// the one that faulted, when another thread writes its dump. Without wait,
// none while another thread holds the settings' lock (writes a dump).
void writeCrashDump(EXCEPTION_POINTERS* pointers, CrashDumpInfo& settings, DWORD thread = GetCurrentThreadId(),
                    bool wait = true);
// Writes the dump into a new file of that name; false when the name is taken.
bool internalDumpMiniDump(const std::wstring& fileName, EXCEPTION_POINTERS* pointers, std::uint32_t dumpType,
                          DWORD thread = GetCurrentThreadId());

// What writes a dump: dbghelp's MiniDumpWriteDump unless another is set.
using MiniDumpWriter = decltype(&MiniDumpWriteDump);
// For tests and test tools: puts writer in place (null: dbghelp's again) and
// returns the one it replaces, dbghelp's when none was set.
MiniDumpWriter setMiniDumpWriter(MiniDumpWriter writer) noexcept;

// The vectored filter: dumps 0xC0000374 and lets every exception go on.
LONG CALLBACK onHeapCorruption(EXCEPTION_POINTERS* pointers);
// The code onHeapCorruption dumps (STATUS_HEAP_CORRUPTION).
inline constexpr std::uint32_t kHeapCorruptionCode = 0xC0000374;
