#include "log/last_chance.h"

#include <atomic>
#include <new>
#include <csignal>
#include <cstdint>
#include <exception>

#include "crash/crashdump.h"
#include "errors/format.h"
#include "errors/translator.h"
#include "errors/vexception.h"
#include "log/logmanager.h"
#include "runtime/handle.h"
#include "runtime/text.h"
#include "tracing/driver.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this module's own base, as the linker places it

namespace {

// "module+0xoffset" of an address, or the bare address outside every module.
// The module's name is read into a fixed buffer: the heap may be corrupt.
std::wstring placeOf(const void* address) {
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH + 1] = L"";
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module) ||
        !GetModuleFileNameW(module, path, MAX_PATH + 1)) {
        const auto at = reinterpret_cast<std::uintptr_t>(address);
        return formatString(L"0x%lx%08lx", static_cast<unsigned long>(at >> 32), static_cast<unsigned long>(at));
    }
    const wchar_t* name = path;
    for (const wchar_t* c = path; *c; ++c)
        if (*c == L'\\' || *c == L'/') name = c + 1;
    const auto offset = static_cast<const char*>(address) - reinterpret_cast<const char*>(module);
    return formatString(L"%s+0x%lx", std::wstring(name), static_cast<unsigned long>(offset));
}

// How long the last chance waits for the work of another thread: a full
// dump takes up to half a minute under load; a hang never lasts longer.
constexpr DWORD kLastChanceLimitMs = 120000;

// The last chance's work for an end of thread: the dump (when allowed), the
// record (how, or the fault's code and place) and the trimming, then the end
// with the code.
struct Fault {
    EXCEPTION_POINTERS* pointers;
    DWORD thread;
    bool dump;
    const wchar_t* how;
};

DWORD endWith(const Fault& fault) {
    const DWORD code = fault.pointers->ExceptionRecord->ExceptionCode;
    try {
        if (fault.dump) writeCrashDump(fault.pointers, crashDumpInfo(), fault.thread);
    } catch (...) {
    }
    if (fault.how)
        LogManager::instance().log(Error, L"%s", std::wstring(fault.how));
    else
        LogManager::instance().log(Error, L"Unhandled %s at %s", describeStructuredException(cwrpexception(code)),
                                   placeOf(fault.pointers->ExceptionRecord->ExceptionAddress));
    // Here, and not at exit: an end like this one runs no destructor. A
    // fault on the way ends the process at once, the record written.
    crashDumpInfo().trim();
    TerminateProcess(GetCurrentProcess(), code);
    return code;
}

// Made and parked at start-up: a stack overflow leaves no stack for the
// work, and a thread made at fault time would need the loader's lock for
// its start, which the faulting thread may hold.
class Helper {
public:
    Helper() noexcept : wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        if (wake_.valid()) thread_.reset(CreateThread(nullptr, 0, &parked, this, 0, &id_));
    }
    // Never destroyed (see installLastChance); a module that goes before the
    // process does ends its parked helper, which holds nothing, rather than
    // leave it waiting in code that is gone.
    void end() noexcept {
        if (thread_.valid() && !woken_.load()) TerminateThread(thread_.get(), 0);
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    DWORD id() const noexcept { return thread_.valid() ? id_ : 0; }

    // Hands fault to the helper and waits for the end it makes; false
    // without a helper.
    bool take(const Fault& fault) noexcept {
        if (!thread_.valid()) return false;
        fault_ = fault;
        woken_.store(true);
        SetEvent(wake_.get());
        WaitForSingleObject(thread_.get(), kLastChanceLimitMs);
        return true;
    }

private:
    static DWORD WINAPI parked(void* self) {
        auto& helper = *static_cast<Helper*>(self);
        WaitForSingleObject(helper.wake_.get(), INFINITE);
        return endWith(helper.fault_);
    }

    RunTime::AutoHandle wake_, thread_;
    DWORD id_ = 0;
    std::atomic<bool> woken_{false};
    Fault fault_{};
};

// Set once at installation: a fault must not be the first to make it.
std::atomic<Helper*> g_helper{nullptr};

LONG lastChance(EXCEPTION_POINTERS* pointers, const wchar_t* how) {
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    // One thread takes it; a fault of that thread on the way (or of its
    // helper) ends the process at once with the first end's code, and any
    // other thread waits for the end.
    static std::atomic<DWORD> taken{0}, endCode{0};
    Helper* const helper = g_helper.load();
    DWORD first = 0;
    if (!taken.compare_exchange_strong(first, GetCurrentThreadId())) {
        const auto end = [&] {
            const DWORD firstCode = endCode.load();
            TerminateProcess(GetCurrentProcess(), firstCode ? firstCode : code);
        };
        if (first == GetCurrentThreadId() || (helper && helper->id() == GetCurrentThreadId())) end();
        // This thread may hold a lock the first one needs (the log's, the
        // dump's): the wait is bounded, and the process ends after it.
        Sleep(kLastChanceLimitMs);
        end();
    }
    endCode.store(code);
    OpenTracingDriver::stopTracing();
    // Heap corruption has been dumped by its own filter already, and a fault
    // inside a dump is not dumped again.
    const FaultDumpScope scope;
    const Fault fault{pointers, GetCurrentThreadId(), scope.owns() && code != kHeapCorruptionCode, how};
    if (code != STATUS_STACK_OVERFLOW) return endWith(fault);
    // No stack is left here: the parked helper does the work.
    if (helper) helper->take(fault);
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

// std::terminate of this module: the record names what was thrown, when it
// is an error of ours or a standard one.
[[noreturn]] void onTerminate() {
    std::wstring how = L"Ended by std::terminate";
    try {
        if (const std::exception_ptr current = std::current_exception()) std::rethrow_exception(current);
    } catch (const vexception& e) {
        how += L" with: " + fullMessage(e);
    } catch (const std::exception& e) {
        how += L" with: " + wstr(e.what(), CP_ACP);
    } catch (...) {
    }
    endThroughLastChance(how);
}

// Every module on the process's C runtime (msvcrt) reaches this through its abort().
void onAbort(int) { endThroughLastChance(L"Ended by abort()"); }

}  // namespace

void installLastChance() noexcept {
    SetUnhandledExceptionFilter(&lastChanceFilter);
    setUnrecoverableOverflow(&lastChanceFilter);
    std::set_terminate(&onTerminate);
    std::signal(SIGABRT, &onAbort);
    guaranteeStackHeadroom();
    // The helper outlives every static destructor, so that a fault in a late
    // one still finds it; in the executable the process's end stops the
    // thread and closes its handles, which costs the exit nothing.
    alignas(Helper) static unsigned char storage[sizeof(Helper)];
    static Helper* const helper = new (storage) Helper;
    g_helper.store(helper);
    struct EndWithModule {
        ~EndWithModule() { helper->end(); }
    };
    if (reinterpret_cast<HMODULE>(&__ImageBase) != GetModuleHandleW(nullptr)) static const EndWithModule endWithModule;
}

LONG WINAPI lastChanceFilter(EXCEPTION_POINTERS* pointers) {
    // A C++ throw that nothing catches comes here first: libgcc relies on the
    // top level to continue it, and then calls std::terminate, whose handler
    // records what was thrown. The start-up code does that on the main thread
    // only; any other thread's throw would end here as a bare code.
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    if (record.ExceptionCode == kGccThrowCode && !(record.ExceptionFlags & EXCEPTION_NONCONTINUABLE))
        return EXCEPTION_CONTINUE_EXECUTION;
    return lastChance(pointers, nullptr);
}

// Where the caller stands, as a dump's exception context, under code.
struct CapturedEnd {
    CONTEXT context{};
    EXCEPTION_RECORD record{};
    EXCEPTION_POINTERS pointers{&record, &context};
    explicit CapturedEnd(DWORD code) noexcept {
        RtlCaptureContext(&context);
        record.ExceptionCode = code;
        record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
        record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
    }
};

void endThroughLastChance(const std::wstring& how) noexcept {
    CapturedEnd end(kRuntimeEndCode);
    lastChance(&end.pointers, how.c_str());
    TerminateProcess(GetCurrentProcess(), kRuntimeEndCode);
    for (;;) Sleep(INFINITE);
}

void failFastWithTrace(const std::wstring& how) noexcept {
    constexpr DWORD kFailFastCode = 0xC0000602;  // STATUS_FAIL_FAST_EXCEPTION, as the system raises it
    CapturedEnd end(kFailFastCode);
    OpenTracingDriver::stopTracing();
    // The record first: the dump may be given up, and another thread may be
    // writing one (its lock is only tried).
    LogManager::instance().logWithoutWaiting(Error, how);
    {
        const FaultDumpScope scope;
        try {
            if (scope.owns()) writeCrashDump(&end.pointers, crashDumpInfo(), GetCurrentThreadId(), false);
        } catch (...) {
        }
    }
    crashDumpInfo().trim();
    RaiseFailFastException(&end.record, &end.context, 0);
    TerminateProcess(GetCurrentProcess(), kFailFastCode);
    for (;;) Sleep(INFINITE);
}
