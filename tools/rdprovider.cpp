// rdprovider: a stand-in tracing provider. Every call writes one line to standard output, unless RD_PROVIDER_QUIET is
// set. With RD_PROVIDER_FAULT set, the first span faults as it is made ("annotate": in its first annotation instead).
// Built a second time without the injection export.
#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>

#include "tracing/driver.h"

namespace {

using Span = OpenTracingDriver::ISpanContextProvider;
using Tracer = OpenTracingDriver::ITracer;

void say(const std::string& line) {
    // Benchmarks measure the provider's calls, not its output.
    static const bool quiet = GetEnvironmentVariableW(L"RD_PROVIDER_QUIET", nullptr, 0) != 0;
    if (quiet) return;
    DWORD written = 0;
    const std::string text = line + "\n";
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), DWORD(text.size()), &written, nullptr);
}

volatile std::uintptr_t g_badAddress = 0x18;

bool faultsIn(const wchar_t* place) {
    wchar_t value[16] = L"";
    if (!GetEnvironmentVariableW(L"RD_PROVIDER_FAULT", value, 16)) return false;
    return (std::wcscmp(value, L"annotate") == 0) == (std::wcscmp(place, L"annotate") == 0);
}

// No clean-up in the frame, so no handler of its own: the fault is the caller's.
__attribute__((noinline)) void faultIf(const wchar_t* place) {
    if (faultsIn(place)) *reinterpret_cast<volatile int*>(g_badAddress) = 1;
}

__attribute__((noinline)) void sayPair(const std::string& key, const std::string& value) { say(key + " = " + value); }

class StandInSpan final : public Span {
public:
    ~StandInSpan() override { say("end"); }
    bool isActive() override { return true; }
    void markFailed(const std::string& callText) override { say("failed " + callText); }
    // Nothing to clean up here either, for the same reason.
    void annotate(const std::string& key, const std::string& value) override {
        faultIf(L"annotate");
        sayPair(key, value);
    }
};

class StandInTracer final : public Tracer {
public:
    ~StandInTracer() override { say("tracer deleted"); }
};

__attribute__((noinline)) Span* newSpan(const std::string& operationName, std::int32_t line) {
    say("span " + operationName + " " + std::to_string(line));
    return new StandInSpan;
}

}  // namespace

extern "C" __declspec(dllexport) Tracer* OpenTracingProviderGetTracer() {
    say("tracer");
    return new StandInTracer;
}

extern "C" __declspec(dllexport) Span* OpenTracingProviderGetSpanContext(Tracer**, const std::string& operationName,
                                                                         std::int32_t line, const std::string&) {
    faultIf(L"span");
    return newSpan(operationName, line);
}

#ifndef RD_PROVIDER_PARTIAL
extern "C" __declspec(dllexport) void OpenTracingProviderInjectCurrentSpan(Tracer**) { say("inject"); }
#endif
