#include "crash/crashdump.h"

#include <dbghelp.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <vector>

#include "crash/dump_folder.h"
#include "crash/dump_settings.h"
#include "errors/translator.h"
#include "errors/vexception.h"
#include "runtime/files.h"
#include "runtime/library.h"
#include "runtime/paths.h"
#include "runtime/registry.h"
#include "threads/guard.h"
#include "threads/recycler.h"

namespace {

// Decimal digits into out, zero-padded to width: no printf, no allocation.
wchar_t* putNumber(wchar_t* out, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) out[i] = static_cast<wchar_t>(L'0' + value % 10);
    return out + width;
}

// Decimal digits into out, as many as value needs.
wchar_t* putDecimal(wchar_t* out, unsigned value) {
    int width = 1;
    for (unsigned rest = value / 10; rest != 0; rest /= 10) ++width;
    return putNumber(out, value, width);
}

// The executable's file name without its extension. Taken apart by hand:
// the path helpers would load shlwapi at every start.
std::wstring executableBaseName() {
    const std::wstring path = moduleName(nullptr);
    std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    const std::size_t dot = name.find_last_of(L'.');
    if (dot != std::wstring::npos && dot > 0) name.erase(dot);
    return name;
}

bool isZip(const std::wstring& name) {
    const std::size_t dot = name.find_last_of(L'.');
    return dot != std::wstring::npos && _wcsicmp(name.c_str() + dot, L".zip") == 0;
}

// Dumps are ordered by their last write to the millisecond; equal times keep
// the order of enumeration. (The calendar type would bring rpcrt4 into the
// executable's imports.)
std::uint64_t milliseconds(const FILETIME& time) {
    return ((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime) / 10000;
}

// dbghelp is bound once, not imported: only a process with dumps on loads it.
MiniDumpWriter systemMiniDumpWriter() noexcept {
    static const auto write = RunTime::systemFunction<decltype(MiniDumpWriteDump)>(L"dbghelp.dll", "MiniDumpWriteDump");
    return write;
}

// Null: the system's.
std::atomic<MiniDumpWriter> g_writer{nullptr};

MiniDumpWriter miniDumpWriter() noexcept {
    const MiniDumpWriter writer = g_writer.load();
    return writer ? writer : systemMiniDumpWriter();
}

}  // namespace

VectoredExceptionHandler::VectoredExceptionHandler(PVECTORED_EXCEPTION_HANDLER filter) noexcept
    : registration_(filter ? AddVectoredExceptionHandler(1, filter) : nullptr) {}

VectoredExceptionHandler::~VectoredExceptionHandler() {
    if (registration_) RemoveVectoredExceptionHandler(registration_);
    registration_ = nullptr;
}

HeapCorruptionHandler::HeapCorruptionHandler(bool enabled) noexcept
    : VectoredExceptionHandler(enabled ? &onHeapCorruption : nullptr) {}

CrashDumpInfo::CrashDumpInfo() noexcept {
    InitializeCriticalSection(&lock_);
    try {
        setUp();
    } catch (...) {
        enabled_ = false;
    }
}

void CrashDumpInfo::setUp() {
    // The configuration key is created when missing; the reading itself creates nothing.
    const registry::Key key(HKEY_LOCAL_MACHINE, registry::kConfigKey,
                            READ_CONTROL | KEY_WOW64_32KEY | KEY_QUERY_VALUE, false);
    const CrashDumpSettings settings = readCrashDumpSettings(key.get());
    if (!settings.enabled) {
        enabled_ = false;
        return;
    }
    location_ = settings.location;
    prefix_ = executableBaseName();
    longLocation_ = VFileName::toLongPath(location_);
    // A location written with a closing separator names the same folder; a
    // dump's name brings its own, and a verbatim name keeps every one.
    longLocation_.erase(longLocation_.find_last_not_of(L'\\') + 1);
    // A location too long for any dump name leaves dumps off, and nothing is created.
    if (!dumpNameFits(location_, prefix_))
        throw vexception(L"Crash dump location is too long: " + location_, raiseSite("CrashDumpInfo", __LINE__));
    DumpFolder::create(location_, settings.root);
    maxCount_ = settings.maxCount;
    fileName_.reserve(kPathCapacity);
    // Bound now, while the heap is sound: loading dbghelp when a fault
    // needs it would allocate, and take the loader's lock.
    systemMiniDumpWriter();
    handler_ = std::make_unique<HeapCorruptionHandler>(enabled_);
}

CrashDumpInfo::~CrashDumpInfo() {
    trim();
    handler_.reset();
    DeleteCriticalSection(&lock_);
}

std::size_t CrashDumpInfo::dumpPathLength() const noexcept {
    return location_.size() + 1 + prefix_.size() + kDumpStampLength;
}

const std::wstring& CrashDumpInfo::getFileName(std::uint32_t taken) {
    if (!enabled_)
        throw vexception(L"Crash dumping does not enabled", raiseSite("CrashDumpInfo::getFileName", __LINE__));
    const Lock lock(*this);
    if (dumpPathLength() > kLongestDumpPath)
        throw vexception(L"Crash dump path is too long", raiseSite("CrashDumpInfo::getFileName", __LINE__));
    if (taken == 0) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        wchar_t* out = putNumber(stampBuffer_, now.wYear, 4);
        out = putNumber(out, now.wMonth, 2);
        out = putNumber(out, now.wDay, 2);
        *out++ = L'_';
        out = putNumber(out, now.wHour, 2);
        out = putNumber(out, now.wMinute, 2);
        out = putNumber(out, now.wSecond, 2);
        wmemcpy(out, L".dmp", 5);
    }

    wchar_t* out = pathBuffer_;
    out = wmemcpy(out, longLocation_.data(), longLocation_.size()) + longLocation_.size();
    *out++ = L'\\';
    out = wmemcpy(out, prefix_.data(), prefix_.size()) + prefix_.size();
    out = wmemcpy(out, stampBuffer_, kDumpStampLength - 4) + kDumpStampLength - 4;
    if (taken != 0) {
        *out++ = L'_';
        out = putDecimal(out, GetCurrentProcessId());
        *out++ = L'_';
        out = putDecimal(out, taken);
    }
    out = wmemcpy(out, L".dmp", 4) + 4;
    *out = L'\0';
    fileName_.assign(pathBuffer_, static_cast<std::size_t>(out - pathBuffer_));
    return fileName_;
}

void CrashDumpInfo::trim() noexcept {
    // Without a location (dumps off) a pattern would name the working directory.
    if (!enabled_ || location_.empty()) return;
    try {
        struct Dump {
            std::wstring path;
            std::uint64_t written;  // milliseconds
        };
        std::vector<Dump> dumps;
        VFileFinder finder;
        // The folder's long name, resolved once at start: nothing is resolved again at exit.
        for (bool found = finder.first(longLocation_ + L"\\*.dmp"); found; found = finder.next()) {
            // A link is never followed, nor deleted: what it names is not a dump of ours.
            if (finder.isDirectory() || finder.isLink() || finder.isDots() || isZip(finder.name())) continue;
            dumps.push_back({longLocation_ + L'\\' + finder.name(), milliseconds(finder.lastWriteTime())});
        }
        finder.close();
        std::stable_sort(dumps.begin(), dumps.end(),
                         [](const Dump& a, const Dump& b) { return a.written < b.written; });
        // Forced: a read-only dump goes too. One held open by a scanner or a debugger, or another account's,
        // stays, and the next is tried: a single such dump must not let the others fill the disk.
        for (std::size_t i = 0; dumps.size() - i > maxCount_; ++i) {
            try {
                removeFile(dumps[i].path, true, false, 0, 0);
            } catch (const vexception&) {
            }
        }
    } catch (...) {
        // What was not deleted stays for the next exit.
    }
}

namespace {
// Built before the program's other static objects, so that its destructor,
// registered first, runs after theirs.
CrashDumpInfo g_settings __attribute__((init_priority(101)));

void dumpTranslatedFault(std::uint32_t code, EXCEPTION_POINTERS* pointers) {
    // Heap corruption has been dumped by its own filter already.
    if (code != kHeapCorruptionCode) writeCrashDump(pointers, g_settings);
}

// The translator's dump step, for as long as the settings live.
struct FaultDumpWriterInstallation {
    FaultDumpWriterInstallation() noexcept { setFaultDumpWriter(&dumpTranslatedFault); }
    ~FaultDumpWriterInstallation() { setFaultDumpWriter(nullptr); }
} g_installation __attribute__((init_priority(101)));
}  // namespace

CrashDumpInfo& crashDumpInfo() noexcept { return g_settings; }

MiniDumpWriter setMiniDumpWriter(MiniDumpWriter writer) noexcept {
    const MiniDumpWriter previous = g_writer.exchange(writer);
    return previous ? previous : systemMiniDumpWriter();
}

void writeCrashDump(EXCEPTION_POINTERS* pointers, CrashDumpInfo& settings, DWORD thread, bool wait) {
    if (!settings.enabled()) return;
    // Two threads that fault at once write one after the other, each with
    // its own name composed in the shared buffers.
    const CrashDumpInfo::Lock lock(settings, wait);
    if (!lock.held()) return;
    const std::wstring* fileName = &settings.getFileName();
    if (!pointers) return;
    // Another agent's dump, or this process's own earlier one, of the same
    // second keeps its name: this one takes a name of its own.
    for (std::uint32_t taken = 1; !internalDumpMiniDump(*fileName, pointers, kCrashDumpType, thread); ++taken) {
        if (taken > CrashDumpInfo::kMostTakenNames)
            throwOsError(L"Unable to find a free dump file name", ERROR_FILE_EXISTS,
                         raiseSite("writeCrashDump", __LINE__));
        fileName = &settings.getFileName(taken);
    }
}

bool internalDumpMiniDump(const std::wstring& fileName, EXCEPTION_POINTERS* pointers, std::uint32_t dumpType,
                          DWORD thread) {
    try {
        MINIDUMP_EXCEPTION_INFORMATION exception{thread, pointers, TRUE};
        // Before the file: without the writer no empty dump is left behind.
        const auto write = miniDumpWriter();
        if (!write) throwOsError(L"Unable to load MiniDumpWriteDump", ERROR_PROC_NOT_FOUND,
                                 raiseSite("internalDumpMiniDump", __LINE__));
        // Opened by hand: no path helper may allocate on the way to a dump.
        // Never over another file: that may be a dump still being written.
        RunTime::FileHandle file(CreateFileW(fileName.c_str(), FILE_ALL_ACCESS, FILE_SHARE_READ, nullptr,
                                             CREATE_NEW, 0, nullptr));
        if (!file.valid()) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return false;
            throwOsError(L"CreateFile", error, raiseSite("internalDumpMiniDump", __LINE__));
        }
        RunTime::FileHandle copy = VHandle::duplicate(file.get());
        const BOOL written = write(GetCurrentProcess(), GetCurrentProcessId(), copy.get(),
                                   static_cast<MINIDUMP_TYPE>(dumpType), &exception, nullptr, nullptr);
        const DWORD error = GetLastError();
        copy.reset();
        if (!written) {
            // A dump cut short is of no use to anyone, and may be large.
            file.reset();
            DeleteFileW(fileName.c_str());
            throwOsError(L"Unable to generate dump file", error, raiseSite("internalDumpMiniDump", __LINE__));
        }
        return true;
    } catch (...) {
        rethrowWithContext({L"Unable to call internalDumpMiniDump(" + fileName + L")", "internalDumpMiniDump", __LINE__},
                           nullptr);
    }
}

LONG CALLBACK onHeapCorruption(EXCEPTION_POINTERS* pointers) {
    if (pointers && pointers->ExceptionRecord && pointers->ExceptionRecord->ExceptionCode == kHeapCorruptionCode) {
        // The dump itself may meet the corrupt heap again: that is not dumped.
        const FaultDumpScope scope;
        try {
            if (scope.owns()) writeCrashDump(pointers, crashDumpInfo());
        } catch (...) {
            // The process goes on to fail as it would without the filter.
        }
    }
    return EXCEPTION_CONTINUE_SEARCH;
}
