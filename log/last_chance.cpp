#include "log/last_chance.h"

#include <atomic>
#include <cstdint>

#include "crash/crashdump.h"
#include "errors/format.h"
#include "errors/translator.h"
#include "log/logmanager.h"

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

// The last chance's work for a fault of thread: the dump (when allowed)
// and the record, then the end with the fault's code.
struct Fault {
    EXCEPTION_POINTERS* pointers;
    DWORD thread;
    bool dump;
};

DWORD WINAPI endWith(void* parameter) {
    const Fault& fault = *static_cast<const Fault*>(parameter);
    const DWORD code = fault.pointers->ExceptionRecord->ExceptionCode;
    try {
        if (fault.dump) writeCrashDump(fault.pointers, crashDumpInfo(), fault.thread);
    } catch (...) {
    }
    LogManager::instance().log(Error, L"Unhandled %s at %s", describeStructuredException(cwrpexception(code)),
                               placeOf(fault.pointers->ExceptionRecord->ExceptionAddress));
    TerminateProcess(GetCurrentProcess(), code);
    return code;
}

}  // namespace

void installLastChance() noexcept {
    SetUnhandledExceptionFilter(&lastChanceFilter);
    setUnrecoverableOverflow(&lastChanceFilter);
}

LONG WINAPI lastChanceFilter(EXCEPTION_POINTERS* pointers) {
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    // One thread takes it; a fault of that thread on the way (or of its
    // helper) ends the process at once, and any other thread waits for the end.
    static std::atomic<DWORD> taken{0}, helper{0};
    DWORD first = 0;
    if (!taken.compare_exchange_strong(first, GetCurrentThreadId())) {
        if (first == GetCurrentThreadId() || helper.load() == GetCurrentThreadId())
            TerminateProcess(GetCurrentProcess(), code);
        // This thread may hold a lock the first one needs (the log's, the
        // dump's): the wait is bounded, and the process ends after it.
        Sleep(kLastChanceLimitMs);
        TerminateProcess(GetCurrentProcess(), code);
    }
    // Heap corruption has been dumped by its own filter already, and a fault
    // inside a dump is not dumped again.
    const FaultDumpScope scope;
    Fault fault{pointers, GetCurrentThreadId(), scope.owns() && code != kHeapCorruptionCode};
    if (code != STATUS_STACK_OVERFLOW) return endWith(&fault);
    // No stack is left here, but enough to start a thread that does the work.
    DWORD id = 0;
    if (const HANDLE thread = CreateThread(nullptr, 0, &endWith, &fault, CREATE_SUSPENDED, &id)) {
        helper.store(id);
        ResumeThread(thread);
        WaitForSingleObject(thread, kLastChanceLimitMs);
    }
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}
