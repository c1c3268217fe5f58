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

}  // namespace

void installLastChance() noexcept { SetUnhandledExceptionFilter(&lastChanceFilter); }

LONG WINAPI lastChanceFilter(EXCEPTION_POINTERS* pointers) {
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    // One thread takes it; a fault of that thread on the way ends the process
    // at once, and any other thread waits for the end.
    static std::atomic<DWORD> taken{0};
    DWORD first = 0;
    if (!taken.compare_exchange_strong(first, GetCurrentThreadId())) {
        if (first == GetCurrentThreadId()) TerminateProcess(GetCurrentProcess(), code);
        Sleep(INFINITE);
    }
    try {
        // Heap corruption has been dumped by its own filter already, and a
        // fault inside a dump is not dumped again.
        const FaultDumpScope scope;
        if (scope.owns() && code != kHeapCorruptionCode) writeCrashDump(pointers, crashDumpInfo());
    } catch (...) {
    }
    LogManager::instance().log(Error, L"Unhandled %s at %s",
                               describeStructuredException(cwrpexception(code)),
                               placeOf(pointers->ExceptionRecord->ExceptionAddress));
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}
