// rdfault: faults on request, on the runtime, for the tests of crash dumps and tracing. One command per run; every
// line it writes ends in '\n':
//   deep          write "thread N", fault three guarded operations deep, write the error's full message
//   raise CODE    write "thread N", raise structured exception CODE ("overflow": overflow the stack) outside any
//                 guarded operation (the process ends with it); or end the process: "terminate" with a throw through a
//                 noexcept function, "thread" with a throw out of a thread of its own (which writes "thread N" too),
//                 "abort" by abort() in rdprovider.dll, "failfast" by failFastWithTrace
//   guarded WHAT… raise each WHAT (a code, or "overflow" to overflow the stack) in a guarded operation of its own, and
//                 log the error at level Error
//   double-free   free one block of a heap of its own twice, with termination on corruption on
//   trace [KIND]  inject before any span, run a guarded operation that succeeds and one per kind of error (or only
//                 up to KIND), each after "op KIND", then start this program again
// With RD_FAULT_SMALL_DUMPS set, dumps are written without the process's memory: a full-memory dump of a Wine process
// takes many seconds, and only the tests of the dump's type need one. With RD_FAULT_IN_DUMP set too, writing a dump
// faults.
#include <windows.h>
#include <comdef.h>

#include <cstdint>
#include <cwchar>
#include <stdexcept>
#include <string>

#include "crash/crashdump.h"
#include "exec/launcher.h"
#include "log/last_chance.h"
#include "log/logmanager.h"
#include "runtime/library.h"
#include "threads/guard.h"

namespace {

void say(const std::string& line) {
    DWORD written = 0;
    const std::string text = line + "\n";
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), DWORD(text.size()), &written, nullptr);
}

constexpr GuardedOperation kOuter{"Fault::outer", L"outer(%s)", 10, 11};
constexpr GuardedOperation kMiddle{"Fault::middle", L"middle()", 20, 21};
constexpr GuardedOperation kInner{"Fault::inner", L"inner(%d)", 30, 31};

volatile std::uintptr_t g_badAddress = 0x18;

void deep() {
    say("thread " + std::to_string(GetCurrentThreadId()));
    try {
        guarded(kOuter, [] {
            guarded(kMiddle, [] {
                guarded(kInner, [] { *reinterpret_cast<volatile int*>(g_badAddress) = 1; }, 3);
            });
        }, L"x");
    } catch (const vexception& e) {
        say(cstr(fullMessage(e), CP_UTF8));
    }
}

[[noreturn]] __attribute__((noinline)) void throwError() { throw std::runtime_error("out of a noexcept function"); }
__attribute__((noinline)) void throwThroughNoexcept() noexcept { throwError(); }

void throwOutOfThread() {
    const HANDLE thread = CreateThread(nullptr, 0, [](void*) -> DWORD {
        say("thread " + std::to_string(GetCurrentThreadId()));
        throw std::runtime_error("out of a thread");
    }, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
}

// abort() of another module on our C runtime, as it makes a span.
void abortInProvider() {
    SetEnvironmentVariableW(L"RD_PROVIDER_FAULT", L"abort");
    using GetSpan = void* (*)(void*, const std::string&, std::int32_t, const std::string&);
    if (const HMODULE provider = LoadLibraryW(L"rdprovider.dll"))
        reinterpret_cast<GetSpan>(GetProcAddress(provider, "OpenTracingProviderGetSpanContext"))(nullptr, "", 0, "");
}

__attribute__((noinline)) int overflow(int depth) {
    volatile char pad[512];
    pad[depth % 512] = char(depth);
    return overflow(depth + 1) + pad[0];
}

void raiseGuarded(int count, wchar_t** what) {
    constexpr GuardedOperation kGuarded{"Fault::guarded", L"guarded(%s)", 50, 51};
    for (int i = 0; i < count; ++i) {
        const std::wstring name = what[i];
        try {
            guarded(kGuarded, [&] {
                if (name == L"overflow") return overflow(0);
                RaiseException(DWORD(std::wcstoul(name.c_str(), nullptr, 0)), 0, 0, nullptr);
                return 0;
            }, name);
        } catch (const vexception& e) {
            LogManager::instance().log(Error, e);
        }
    }
}

// The kind of operation after which trace stops; empty runs them all.
std::string g_last;
bool g_lastDone = false;

template <class Body>
void traced(const char* kind, Body body) {
    if (g_lastDone) return;
    g_lastDone = g_last == kind;
    say(std::string("op ") + kind);
    const GuardedOperation operation{"Fault::traced", L"traced(%s)", 40, 41};
    try {
        guarded(operation, body, std::string(kind));
    } catch (const vexception&) {
    }
}

void trace() {
    OpenTracingDriver::injectCurrentSpan();
    traced("success", [] {});
    traced("std", [] { throw std::runtime_error("std text"); });
    traced("vexception", [] { throw vexception(L"v text", raiseSite("place", 7)); });
    traced("com", [] { throw _com_error(E_FAIL); });
    traced("fault", [] { *reinterpret_cast<volatile int*>(g_badAddress) = 1; });
    traced("unknown", [] { throw 42; });
    say("op start");
    vexecutil child;
    child.executable = moduleName(nullptr);
    // Redirected, it needs no console of its own: under Wine such a start was seen to hang.
    child.stdoutFile = L"NUL";
    child.start();
    child.waitForExit(INFINITE);
}

MiniDumpWriter g_systemWriter = nullptr;

// The type asked for, less the memory.
BOOL WINAPI writeSmallDump(HANDLE process, DWORD id, HANDLE file, MINIDUMP_TYPE type,
                           PMINIDUMP_EXCEPTION_INFORMATION exception, PMINIDUMP_USER_STREAM_INFORMATION user,
                           PMINIDUMP_CALLBACK_INFORMATION callback) {
    if (GetEnvironmentVariableW(L"RD_FAULT_IN_DUMP", nullptr, 0)) *reinterpret_cast<volatile int*>(g_badAddress) = 1;
    return g_systemWriter(process, id, file, MINIDUMP_TYPE(type & ~MiniDumpWithFullMemory), exception, user, callback);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (GetEnvironmentVariableW(L"RD_FAULT_SMALL_DUMPS", nullptr, 0)) g_systemWriter = setMiniDumpWriter(&writeSmallDump);
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"deep") {
        deep();
    } else if (command == L"raise" && argc > 2) {
        say("thread " + std::to_string(GetCurrentThreadId()));
        const std::wstring what = argv[2];
        if (what == L"overflow") return overflow(0);
        if (what == L"terminate") throwThroughNoexcept();
        if (what == L"thread") throwOutOfThread();
        if (what == L"abort") abortInProvider();
        if (what == L"failfast") failFastWithTrace(L"Ended on request");
        RaiseException(DWORD(std::wcstoul(argv[2], nullptr, 0)), 0, 0, nullptr);
    } else if (command == L"double-free") {
        HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
        const HANDLE heap = HeapCreate(0, 0, 0);
        void* block = HeapAlloc(heap, 0, 64);
        HeapFree(heap, 0, block);
        HeapFree(heap, 0, block);
    } else if (command == L"guarded") {
        raiseGuarded(argc - 2, argv + 2);
    } else if (command == L"trace") {
        if (argc > 2) g_last = cstr(argv[2], CP_ACP);
        trace();
    }
    return 0;
}
