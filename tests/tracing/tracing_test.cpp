// The tracing driver with the stand-in provider: rdfault runs its traced
// operations from a directory of its own, beside the provider or not.
#include <windows.h>
#include <comdef.h>

#include <gtest/gtest.h>

#include <vector>
#include <string>

#include "errors/format.h"
#include "runtime/com.h"
#include "runtime/text.h"
#include "tests/support/config_key.h"
#include "tests/support/log_records.h"
#include "tests/support/minidump.h"
#include "tests/support/process_runner.h"
#include "tests/support/raised.h"
#include "tests/support/temp_dir.h"
#include "tracing/driver.h"

namespace {

struct TracedRun {
    test_support::TempDir dir{L"rdtrace"};
    test_config::ConfigValues config;
    // Beside a log folder, with "Debug" on (for the Warning records) and dumps off.
    explicit TracedRun(bool enabled = true) {
        enabled ? config.set(L"opentracing_enabled", DWORD{1}) : config.remove(L"opentracing_enabled");
        test_log::makeInstallation(dir.path());
        config.set(L"PRODUCT_ROOT_D", dir.path());
        config.set(L"Debug", DWORD{1});
        config.set(L"CrashDumpsEnabled", DWORD{0});
    }

    // Tracing switched itself off once, and said so, naming the provider and why.
    void expectSwitchedOffFor(const std::wstring& why) const {
        auto warnings = test_log::recordsOf(test_log::utf16Text(test_support::readBytes(test_log::todaysLogFile(dir.path()))));
        std::erase_if(warnings, [](const std::wstring& record) { return !record.starts_with(L"Warning: "); });
        const std::wstring told = L"Warning: " + formatString(kTracingOffMessage, dir / L"opentracingprovider.dll", why);
        EXPECT_TRUE(warnings.size() == 1 && warnings[0].starts_with(told)) << testing::PrintToString(warnings);
    }

    // What rdfault, named program, writes beside provider (or none);
    // RD_PROVIDER_FAULT set to fault, if given; its exit code must be 0.
    std::string run(const std::wstring& program, const wchar_t* provider, const wchar_t* fault = nullptr,
                    const std::wstring& lastKind = L"") {
        const std::wstring path = dir / program;
        EXPECT_TRUE(CopyFileW(test_process::siblingPath(L"rdfault.exe").c_str(), path.c_str(), FALSE));
        const std::wstring providerPath = dir / L"opentracingprovider.dll";
        EXPECT_TRUE(!provider || CopyFileW(test_process::siblingPath(provider).c_str(), providerPath.c_str(), FALSE));
        const auto result = test_process::run(
            path, test_process::commandLine(path, {L"trace", lastKind}), 120000,
            fault ? test_process::taskEnvironment({{L"RD_PROVIDER_FAULT", fault}, {L"RD_FAULT_SMALL_DUMPS", L"1"}})
                  : std::wstring());
        EXPECT_EQ(result.exitCode, 0u);
        return result.output;
    }
};

}  // namespace

// Nothing is injected before the first span; the start injects before the child is created and before its own spans.
TEST(Tracing, SpansOfEveryOutcomeAndNoneWhenOffMissingOrExcluded) {
    std::string expected = "op success\ntracer\nspan Fault::traced 40\nif_error = traced(success)\nend\n";
    for (const auto& [kind, annotation] : std::vector<std::pair<std::string, std::string>>{
             {"std", "std::exception = std text"}, {"vexception", "vexception = v text\n   at (place line 7)"},
             {"com", "_com_error = " + cstr(comErrorMessage(_com_error(E_FAIL)), 0)},
             {"fault", "cwrpexception = C structured exception: 0xc0000005"}, {"unknown", "unknown = ..."}})
        expected += "op " + kind + "\nspan Fault::traced 40\nfailed traced(" + kind + ")\n" + annotation + "\nend\n";
    EXPECT_EQ(TracedRun().run(L"rdfault.exe", L"rdprovider.dll"), expected + "op start\ninject\ntracer deleted\n");
    const std::string untraced = "op success\nop std\nop vexception\nop com\nop fault\nop unknown\nop start\n";
    EXPECT_EQ(TracedRun(false).run(L"rdfault.exe", L"rdprovider.dll"), untraced);
    for (const auto& [provider, why] : {std::pair<const wchar_t*, DWORD>{nullptr, ERROR_MOD_NOT_FOUND},
                                        {L"rdprovider_partial.dll", ERROR_PROC_NOT_FOUND}}) {  // no injection export
        TracedRun run;
        EXPECT_EQ(run.run(L"rdfault.exe", provider), untraced);
        run.expectSwitchedOffFor(test_support::systemText(why) + L" (Error code " + std::to_wstring(why) + L")");
    }
    EXPECT_EQ(TracedRun().run(L"KorvoRepairModule.DLL", L"rdprovider.dll"), untraced);  // an excluded program
}

// A fault as the span is made, in a frame with C++ objects or a stack overflow, leaves one dump of it and the operations
// run on untraced; the record of it names the fault's code.
TEST(Tracing, AFaultingProviderIsSwitchedOffAndTheOperationsGoOn) {
    for (const auto& [fault, code] : {std::pair(L"string", 0xC0000005u), {L"overflow", 0xC00000FDu}}) {
        TracedRun run;
        run.config.set(L"PRODUCT_ROOT_D", run.dir.path());
        run.config.set(L"CrashDumpsLocation", run.dir / L"dumps");
        run.config.remove(L"CrashDumpsEnabled");
        // Up to the standard exception only: each fault written costs a dump.
        EXPECT_EQ(run.run(L"rdfault.exe", L"rdprovider.dll", fault, L"std"),
                  "op success\ntracer\nop std\nop start\ntracer deleted\n");
        const auto dumps = test_support::fileNames(run.dir / L"dumps\\*.dmp");
        ASSERT_EQ(dumps.size(), 1u);
        EXPECT_EQ(test_support::dumpFacts(run.dir / (L"dumps\\" + dumps[0])).code, code);
        run.expectSwitchedOffFor(formatString(L"C structured exception: 0x%x", code));
    }
    // Faulting inside a span, the span is left alone and nothing traced after it.
    TracedRun run;
    run.config.set(L"CrashDumpsEnabled", DWORD{0});
    EXPECT_EQ(run.run(L"rdfault.exe", L"rdprovider.dll", L"annotate", L"std"),
              "op success\ntracer\nspan Fault::traced 40\nop std\nop start\ntracer deleted\n");
}
