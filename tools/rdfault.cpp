// rdfault: faults on request, on the runtime, for the tests of crash dumps and tracing. One command per run; every
// line it writes ends in '\n':
//   deep          write "thread N", fault three guarded operations deep, write the error's full message
//   raise CODE    raise structured exception CODE outside any guarded operation (the process ends with it)
//   double-free   free one block of a heap of its own twice, with termination on corruption on
//   trace [KIND]  inject before any span, run a guarded operation that succeeds and one per kind of error (or only
//                 up to KIND), each after "op KIND", then start this program again
#include <windows.h>
#include <comdef.h>

#include <cstdint>
#include <cwchar>
#include <stdexcept>
#include <string>

#include "exec/launcher.h"
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
    child.start();
    child.waitForExit(INFINITE);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"deep") {
        deep();
    } else if (command == L"raise" && argc > 2) {
        RaiseException(DWORD(std::wcstoul(argv[2], nullptr, 0)), 0, 0, nullptr);
    } else if (command == L"double-free") {
        HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
        const HANDLE heap = HeapCreate(0, 0, 0);
        void* block = HeapAlloc(heap, 0, 64);
        HeapFree(heap, 0, block);
        HeapFree(heap, 0, block);
    } else if (command == L"trace") {
        if (argc > 2) g_last = cstr(argv[2], CP_ACP);
        trace();
    }
    return 0;
}
