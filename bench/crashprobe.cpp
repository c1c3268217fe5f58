// rdcrashprobe: in-process costs of crash dumps and tracing, in the current
// configuration. One command per run, one line of figures:
//   setup N   N times: build and destroy CrashDumpInfo (its set-up at every
//             start and its trimming at every exit), and decide the tracing
//             switch; microseconds per round for each
//   span N    N guarded operations with an empty body; microseconds each
//             (tracing on or off as configured)
//   headroom N  N new threads, each timing its first guarded operation (which
//             asks for the thread's stack headroom) and its second; the two
//             means in microseconds
//   dump      write one crash dump of this process; milliseconds
//   overflow N  N guarded operations that overflow the stack, each taken back
//             to its boundary (and dumped when dumps are on); microseconds each
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "crash/crashdump.h"
#include "threads/guard.h"

namespace {

double seconds() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart) / double(frequency.QuadPart);
}

__attribute__((noinline)) int overflow(int depth) {
    volatile char pad[512];
    pad[depth % 512] = char(depth);
    return overflow(depth + 1) + pad[0];
}

constexpr GuardedOperation kEmpty{"Bench::empty", L"empty()", 1, 2};

// This thread's first and second guarded operation, in seconds, added to times.
DWORD WINAPI firstAndSecond(void* times) {
    for (int i = 0; i < 2; ++i) {
        const double start = seconds();
        guarded(kEmpty, [] {});
        static_cast<double*>(times)[i] += seconds() - start;
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    const int n = argc > 2 ? int(std::wcstol(argv[2], nullptr, 10)) : 1;
    if (command == L"setup") {
        double start = seconds();
        bool enabled = false;
        for (int i = 0; i < n; ++i) enabled = CrashDumpInfo().enabled();
        const double crash = (seconds() - start) / n * 1e6;
        start = seconds();
        for (int i = 0; i < n; ++i) enabled = isTracingEnabled() || enabled;
        const double tracing = (seconds() - start) / n * 1e6;
        std::printf("%.1f %.1f %d\n", crash, tracing, int(enabled));
    } else if (command == L"span") {
        guarded(kEmpty, [] {});  // the provider loads on the first span
        const double start = seconds();
        for (int i = 0; i < n; ++i) guarded(kEmpty, [] {});
        std::printf("%.2f\n", (seconds() - start) / n * 1e6);
    } else if (command == L"overflow") {
        constexpr GuardedOperation operation{"Bench::overflow", L"overflow()", 3, 4};
        const double start = seconds();
        for (int i = 0; i < n; ++i) {
            try {
                guarded(operation, [] { return overflow(0); });
            } catch (const vexception&) {
            }
        }
        std::printf("%.0f\n", (seconds() - start) / n * 1e6);
    } else if (command == L"headroom") {
        double times[2] = {};
        for (int i = 0; i < n; ++i) {
            const HANDLE thread = CreateThread(nullptr, 0, &firstAndSecond, times, 0, nullptr);
            if (!thread) return 1;
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        std::printf("%.2f %.2f\n", times[0] / n * 1e6, times[1] / n * 1e6);
    } else if (command == L"dump") {
        CONTEXT context{};
        RtlCaptureContext(&context);
        EXCEPTION_RECORD record{};
        record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
        record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
        EXCEPTION_POINTERS pointers{&record, &context};
        CrashDumpInfo& settings = crashDumpInfo();
        if (!settings.enabled()) return 1;
        const double start = seconds();
        writeCrashDump(&pointers, settings);
        std::printf("%.0f\n", (seconds() - start) * 1e3);
    } else {
        return 2;
    }
    return 0;
}
