// The tracing driver with the stand-in provider: rdfault runs its traced
// operations from a directory of its own, beside the provider or not.
#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <new>
#include <string>

#include "runtime/com.h"
#include "tests/support/config_key.h"
#include "tests/support/process_runner.h"
#include "tests/support/temp_dir.h"
#include "threads/guard.h"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

// Counts every allocation of this program. (GCC takes the malloc inside a
// replaced operator new for a mismatch with the free in operator delete.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

// What rdfault's "trace" writes when no provider takes part.
const std::string kUntraced = "op success\nop std\nop vexception\nop com\nop fault\nop unknown\nop start\n";

struct TracedRun {
    test_support::TempDir dir{L"rdtrace"};
    test_config::ConfigValues config;

    // program: rdfault's name in the directory; provider: the DLL to put
    // beside it as the provider, or none.
    test_process::ProcessResult run(const std::wstring& program, const wchar_t* provider,
                                    const std::wstring& environment = std::wstring(),
                                    const std::wstring& lastKind = L"") {
        const std::wstring path = dir / program;
        EXPECT_TRUE(CopyFileW(test_process::siblingPath(L"rdfault.exe").c_str(), path.c_str(), FALSE));
        if (provider) {
            EXPECT_TRUE(CopyFileW(test_process::siblingPath(provider).c_str(),
                                  (dir / L"opentracingprovider.dll").c_str(), FALSE));
        }
        return test_process::run(path, test_process::commandLine(path, {L"trace", lastKind}), 120000, environment);
    }
};

}  // namespace

TEST(Tracing, SpansAndAnnotationsOfEveryOutcomeAndInjectionBeforeStart) {
    TracedRun run;
    run.config.set(L"opentracing_enabled", DWORD{1});
    const test_process::ProcessResult result = run.run(L"rdfault.exe", L"rdprovider.dll");
    EXPECT_EQ(result.exitCode, 0u);
    // Nothing is injected before the first span; the start injects before
    // the child is created and before the child's own spans.
    const std::string span = "tracer\nspan Fault::traced 40\n";
    EXPECT_EQ(result.output,
              "op success\n" + span + "if_error = traced(success)\nend\n"
              "op std\nspan Fault::traced 40\nfailed traced(std)\nstd::exception = std text\nend\n"
              "op vexception\nspan Fault::traced 40\nfailed traced(vexception)\n"
              "vexception = v text\n   at (place line 7)\nend\n"
              "op com\nspan Fault::traced 40\nfailed traced(com)\n_com_error = " + cstr(comErrorMessage(_com_error(E_FAIL)), 0) +
                  "\nend\n"
              "op fault\nspan Fault::traced 40\nfailed traced(fault)\ncwrpexception = C structured exception: "
              "0xc0000005\nend\n"
              "op unknown\nspan Fault::traced 40\nfailed traced(unknown)\nunknown = ...\nend\n"
              "op start\ninject\ntracer deleted\n")
        << result.output;
}

TEST(Tracing, NoSpansWhenOffMissingOrExcluded) {
    struct Row {
        const char* name;
        DWORD enabled;
        const wchar_t* program;
        const wchar_t* provider;
    };
    for (const Row& row : {Row{"off by default", 0, L"rdfault.exe", L"rdprovider.dll"},
                           Row{"no provider", 1, L"rdfault.exe", nullptr},
                           Row{"no injection export", 1, L"rdfault.exe", L"rdprovider_partial.dll"},
                           Row{"excluded name", 1, L"KorvoRepairModule.DLL", L"rdprovider.dll"},
                           Row{"excluded name", 1, L"korvoURLprotection.dll", L"rdprovider.dll"}}) {
        SCOPED_TRACE(row.name);
        TracedRun run;
        if (row.enabled)
            run.config.set(L"opentracing_enabled", row.enabled);
        else
            run.config.remove(L"opentracing_enabled");
        const test_process::ProcessResult result = run.run(row.program, row.provider);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(result.output, kUntraced);
    }
}

TEST(Tracing, FaultingProviderIsDumpedAndSwitchedOff) {
    TracedRun run;
    run.config.set(L"opentracing_enabled", DWORD{1});
    run.config.set(L"PRODUCT_ROOT_D", run.dir.path());
    run.config.set(L"CrashDumpsLocation", run.dir / L"dumps");
    run.config.remove(L"CrashDumpsEnabled");
    const std::map<std::wstring, std::wstring> variables{{L"RD_PROVIDER_FAULT", L"1"}};
    // Up to the standard exception only: each fault written costs a full-memory dump.
    const test_process::ProcessResult result =
        run.run(L"rdfault.exe", L"rdprovider.dll", test_process::taskEnvironment(variables), L"std");
    EXPECT_EQ(result.exitCode, 0u);
    // The tracer was made before the fault; the operations still ran, untraced.
    EXPECT_EQ(result.output, "op success\ntracer\nop std\nop start\ntracer deleted\n");
    EXPECT_EQ(test_support::fileNames(run.dir / L"dumps\\*.dmp").size(), 1u);
}

TEST(Tracing, ProviderFaultingInsideASpanIsSwitchedOffAndTheOperationGoesOn) {
    TracedRun run;
    run.config.set(L"opentracing_enabled", DWORD{1});
    run.config.set(L"CrashDumpsEnabled", DWORD{0});  // the dump step is the test above's
    const std::map<std::wstring, std::wstring> variables{{L"RD_PROVIDER_FAULT", L"annotate"}};
    const test_process::ProcessResult result =
        run.run(L"rdfault.exe", L"rdprovider.dll", test_process::taskEnvironment(variables), L"std");
    EXPECT_EQ(result.exitCode, 0u);
    // The faulted span is left alone, and nothing is traced after it.
    EXPECT_EQ(result.output, "op success\ntracer\nspan Fault::traced 40\nop std\nop start\ntracer deleted\n");
}

TEST(Tracing, OffSpanCostsNoAllocation) {
    constexpr GuardedOperation operation{"Test::aLongOperationNameBeyondShortStrings", L"op()", 1, 2};
    guarded(operation, [] {});
    const long before = g_allocations;
    for (int i = 0; i < 100; ++i) guarded(operation, [] {});
    EXPECT_EQ(g_allocations - before, 0);
}
